#include "procctl/win32/test/win32_test_support.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace win32test {

std::string programDirectory()
{
    char path[MAX_PATH + 1] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.find_last_of("\\/") + 1);
}

std::string helperCommand(const std::string& arguments)
{
    return "\"" + programDirectory() + "win_helper.exe\" " + arguments;
}

ScratchDirectory::ScratchDirectory()
{
    static int counter = 0;
    char base[MAX_PATH + 1] = {0};
    GetTempPathA(MAX_PATH, base);
    path_ =
        std::string(base) + "qor-procctl-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory()
{
    // Files, then subdirectories with their files, then the directory.
    for (int pass = 0; pass < 2; pass++) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            break;
        }
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            std::string full = path_ + "\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                WIN32_FIND_DATAA inner;
                HANDLE innerSearch = FindFirstFileA((full + "\\*").c_str(), &inner);
                if (innerSearch != INVALID_HANDLE_VALUE) {
                    do {
                        DeleteFileA((full + "\\" + inner.cFileName).c_str());
                    } while (FindNextFileA(innerSearch, &inner));
                    FindClose(innerSearch);
                }
                RemoveDirectoryA(full.c_str());
            } else {
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path_.c_str());
}

std::string readFile(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "<missing>";
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, n);
    }
    fclose(file);
    return text;
}

void writeFile(const std::string& path, const std::string& text)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file != nullptr) {
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
    }
}

bool fileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string captureStdoutOf(void (*body)(void*), void* context)
{
    ScratchDirectory dir;
    std::string path = dir / "stdout.txt";
    fflush(stdout);
    int saved = _dup(1);
    int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(file, 1);
    _close(file);
    body(context);
    fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    return readFile(path);
}

} // namespace win32test
