#include "common/test/win32_seams.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace win32test {

namespace {

std::string programDirectory()
{
    char path[MAX_PATH + 1] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.find_last_of("\\/") + 1);
}

// A page within reach of a 32-bit offset above base, holding a jump to
// target: an export table can only name code at such an offset.  The page
// stays, since a caller may hold the address after the patch is gone.
void* trampolineNear(HMODULE base, const void* target)
{
    auto low = reinterpret_cast<uintptr_t>(base);
    for (uintptr_t at = low + 0x10000000; at < low + 0xF0000000; at += 0x10000) {
        auto* page = static_cast<unsigned char*>(
            VirtualAlloc(reinterpret_cast<void*>(at), 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
        if (page == nullptr) {
            continue;
        }
        // mov rax, target; jmp rax
        page[0] = 0x48;
        page[1] = 0xB8;
        memcpy(page + 2, &target, sizeof target);
        page[10] = 0xFF;
        page[11] = 0xE0;
        FlushInstructionCache(GetCurrentProcess(), page, 12);
        return page;
    }
    return nullptr;
}

} // namespace

LibraryCopy::LibraryCopy(const std::string& name)
{
    static int counter = 0;
    char temp[MAX_PATH + 1] = {0};
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) +
            ".dll";
    if (CopyFileA((programDirectory() + name + ".dll").c_str(), path_.c_str(), FALSE)) {
        module_ = LoadLibraryA(path_.c_str());
    }
}

LibraryCopy::~LibraryCopy()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
    DeleteFileA(path_.c_str());
}

ExportPatch::ExportPatch(HMODULE module, const char* name, const void* replacement)
{
    auto* base = reinterpret_cast<unsigned char*>(module);
    if (base == nullptr) {
        return;
    }
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.Size == 0) {
        return;
    }
    auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* names = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
    auto* ordinals = reinterpret_cast<WORD*>(base + exports->AddressOfNameOrdinals);
    auto* functions = reinterpret_cast<DWORD*>(base + exports->AddressOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; i++) {
        if (strcmp(reinterpret_cast<const char*>(base + names[i]), name) != 0) {
            continue;
        }
        DWORD rva = 0; // a function offset of 0 names no function
        if (replacement != nullptr) {
            void* jump = trampolineNear(module, replacement);
            if (jump == nullptr) {
                return;
            }
            rva = static_cast<DWORD>(static_cast<unsigned char*>(jump) - base);
        }
        DWORD* slot = &functions[ordinals[i]];
        DWORD protection = 0;
        if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) {
            return;
        }
        saved_ = *slot;
        *slot = rva;
        VirtualProtect(slot, sizeof *slot, protection, &protection);
        slot_ = slot;
        return;
    }
}

ExportPatch::~ExportPatch()
{
    if (slot_ != nullptr) {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
        *slot_ = saved_;
        VirtualProtect(slot_, sizeof *slot_, protection, &protection);
    }
}

std::string standinDirectory()
{
    std::string bin = programDirectory();
    return bin.substr(0, bin.find_last_of("\\/", bin.size() - 2) + 1) + "standin";
}

std::optional<std::string> linuxFile(const std::string& path)
{
    std::string windowsPath = "Z:" + path;
    for (char& c : windowsPath) {
        if (c == '/') {
            c = '\\';
        }
    }
    FILE* file = fopen(windowsPath.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    fclose(file);
    return text;
}

std::optional<uint64_t> kbField(const std::string& text, const std::string& key)
{
    size_t at = text.find("\n" + key + ":");
    if (at == std::string::npos) {
        if (text.compare(0, key.size() + 1, key + ":") != 0) {
            return std::nullopt;
        }
        at = 0;
    } else {
        at++;
    }
    return strtoull(text.c_str() + at + key.size() + 1, nullptr, 10);
}

int linuxOnlineProcessors()
{
    // A list of ranges such as "0-3,6".
    std::string list = linuxFile("/sys/devices/system/cpu/online").value_or("");
    int count = 0;
    const char* p = list.c_str();
    while (*p >= '0' && *p <= '9') {
        char* end = nullptr;
        long first = strtol(p, &end, 10);
        long last = first;
        if (*end == '-') {
            last = strtol(end + 1, &end, 10);
        }
        count += static_cast<int>(last - first + 1);
        p = *end == ',' ? end + 1 : end;
    }
    return count;
}

int linuxPidWith(const std::string& token)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int pid = 0;
    do {
        if (found.cFileName[0] < '0' || found.cFileName[0] > '9') {
            continue;
        }
        std::string command = linuxFile(std::string("/proc/") + found.cFileName + "/cmdline").value_or("");
        if (command.find(token) != std::string::npos) {
            pid = atoi(found.cFileName);
        }
    } while (pid == 0 && FindNextFileA(search, &found));
    FindClose(search);
    return pid;
}

} // namespace win32test
