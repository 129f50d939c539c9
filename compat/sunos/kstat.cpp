// kstat_open, kstat_read, kstat_lookup, kstat_close over the current source.
// Each open takes one snapshot of the chain; a read copies the entry's data
// out of that snapshot.
#include "compat/sunos/sunos_source.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <kstat.h>

namespace {

// A chain entry with the data the read hands out; ks comes first so that a
// kstat_t* of the chain is also the node.
struct KstatNode {
    kstat_t ks;
    unsigned char* snapshot;
    size_t size;
    uint_t ndata;
    bool readFails;
};

hrtime_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class ChainBuilder final : public KstatBuilder {
  public:
    explicit ChainBuilder(kstat_ctl_t* kc) : kc_(kc) {}

    bool add(const char* module, int instance, const char* name, uchar_t type, const void* data, size_t size,
             uint_t ndata, bool readFails) override
    {
        auto* node = static_cast<KstatNode*>(calloc(1, sizeof(KstatNode)));
        if (node == nullptr) {
            return false;
        }
        if (size > 0) {
            node->snapshot = static_cast<unsigned char*>(malloc(size));
            if (node->snapshot == nullptr) {
                free(node);
                return false;
            }
            memcpy(node->snapshot, data, size);
        }
        node->size = size;
        node->ndata = ndata;
        node->readFails = readFails;
        kstat_t* ks = &node->ks;
        ks->ks_crtime = nowNs();
        ks->ks_kid = ++kid_;
        snprintf(ks->ks_module, sizeof ks->ks_module, "%s", module);
        ks->ks_instance = instance;
        snprintf(ks->ks_name, sizeof ks->ks_name, "%s", name);
        ks->ks_type = type;
        snprintf(ks->ks_class, sizeof ks->ks_class, "%s", "misc");
        ks->ks_ndata = ndata;
        ks->ks_data_size = size;
        if (last_ == nullptr) {
            kc_->kc_chain = ks;
        } else {
            last_->ks_next = ks;
        }
        last_ = ks;
        return true;
    }

  private:
    kstat_ctl_t* kc_;
    kstat_t* last_ = nullptr;
    kid_t kid_ = 0;
};

} // namespace

extern "C" {

kstat_ctl_t* kstat_open(void)
{
    auto* kc = static_cast<kstat_ctl_t*>(calloc(1, sizeof(kstat_ctl_t)));
    if (kc == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    kc->kc_kd = -1;
    ChainBuilder builder(kc);
    if (!sunos_source().kstatChain(builder)) {
        kstat_close(kc);
        errno = ENXIO;
        return nullptr;
    }
    kc->kc_chain_id = 1;
    return kc;
}

int kstat_close(kstat_ctl_t* kc)
{
    if (kc == nullptr) {
        return 0;
    }
    kstat_t* ks = kc->kc_chain;
    while (ks != nullptr) {
        kstat_t* next = ks->ks_next;
        auto* node = reinterpret_cast<KstatNode*>(ks);
        free(node->snapshot);
        free(ks->ks_data);
        free(node);
        ks = next;
    }
    free(kc);
    return 0;
}

kid_t kstat_read(kstat_ctl_t* kc, kstat_t* ksp, void* buf)
{
    if (kc == nullptr || ksp == nullptr) {
        errno = EINVAL;
        return -1;
    }
    auto* node = reinterpret_cast<KstatNode*>(ksp);
    if (node->readFails) {
        errno = EIO;
        return -1;
    }
    if (buf == nullptr) {
        if (ksp->ks_data == nullptr && node->size > 0) {
            ksp->ks_data = malloc(node->size);
            if (ksp->ks_data == nullptr) {
                errno = ENOMEM;
                return -1;
            }
        }
        buf = ksp->ks_data;
    }
    if (node->size > 0) {
        memcpy(buf, node->snapshot, node->size);
    }
    ksp->ks_ndata = node->ndata;
    ksp->ks_data_size = node->size;
    ksp->ks_snaptime = nowNs();
    return kc->kc_chain_id;
}

kstat_t* kstat_lookup(kstat_ctl_t* kc, const char* ks_module, int ks_instance, const char* ks_name)
{
    if (kc == nullptr) {
        return nullptr;
    }
    for (kstat_t* ks = kc->kc_chain; ks != nullptr; ks = ks->ks_next) {
        if ((ks_module == nullptr || strcmp(ks->ks_module, ks_module) == 0) &&
            (ks_instance == -1 || ks->ks_instance == ks_instance) &&
            (ks_name == nullptr || strcmp(ks->ks_name, ks_name) == 0)) {
            return ks;
        }
    }
    errno = ENOENT;
    return nullptr;
}

} // extern "C"
