// Environment entries from Java and from the server: the lines before the
// first empty line are the requested entries, those after it the inherited
// ones.  The first requested entry's key is merged as the spawn does it.
#include "procctl/process_env.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static std::vector<char*> entries(std::string& text, size_t from, size_t to)
{
    std::vector<char*> list;
    for (size_t at = from; at < to;) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos || end > to ? to : end;
        text[end] = '\0';
        list.push_back(&text[at]);
        at = end + 1;
    }
    list.push_back(nullptr);
    return list;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t split = text.find("\n\n");
    split = split == std::string::npos ? size : split;
    std::vector<char*> requested = entries(text, 0, split);
    std::vector<char*> inherited = entries(text, split < size ? split + 2 : size, size);

    char key[256];
    GetKey(requested[0] != nullptr ? requested[0] : "", key, sizeof key);
    char small[8];
    GetKey(requested[0], small, size % (sizeof small + 1));
    TestKeys(requested[0], inherited[0]);
    char* merged = nullptr;
    if (GenerateAdditiveString(key, requested.data(), inherited.data(), nullptr, &merged) == 1 && merged != nullptr) {
        size_t keyLength = strlen(key);
        if (strncmp(merged, key, keyLength) != 0 || merged[keyLength] != '=') {
            __builtin_trap(); // the merged entry is key "=" values
        }
        free(merged);
    }
    return 0;
}
