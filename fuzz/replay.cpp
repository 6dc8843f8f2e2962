// Feeds every file of the given directories (or single files) to the fuzz
// entry point, so the seed corpus and every past finding are run by ctest
// without clang or libFuzzer. A path that cannot be read, a directory that
// cannot be listed to the end, or one that holds no input is a failure: a
// replay that silently ran nothing would pass while testing nothing.
#ifdef REPLAY_ENTRY
#include <cstddef>
#include <cstdint>
// Another entry point of the same shape (set by the build).
int REPLAY_ENTRY(const uint8_t* data, size_t size);
#else
#include "tupfuzzentry.h"
#define REPLAY_ENTRY tupFuzzOne
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace
{
bool replayFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "replay: cannot open '%s'\n", path.c_str());
        return false;
    }
    const std::streamoff size = in.tellg();
    in.seekg(0);
    // An exact-size heap buffer, so that a sanitizer build sees any overread.
    std::unique_ptr<uint8_t[]> bytes(size > 0 ? new uint8_t[static_cast<size_t>(size)] : nullptr);
    if (size < 0 || (size > 0 && !in.read(reinterpret_cast<char*>(bytes.get()), size))) {
        std::fprintf(stderr, "replay: cannot read '%s'\n", path.c_str());
        return false;
    }
    REPLAY_ENTRY(bytes.get(), static_cast<size_t>(size));
    return true;
}

// Replays every file of one directory; false on any error or when it holds none.
bool replayDir(const std::string& dir, size_t& files)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "replay: cannot open '%s': %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    size_t here = 0;
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d);
        if (e == nullptr) {
            if (errno != 0) {
                std::fprintf(stderr, "replay: cannot list '%s': %s\n", dir.c_str(),
                             std::strerror(errno));
                ok = false;
            }
            break;
        }
        if (e->d_name[0] == '.')
            continue;
        if (!replayFile(dir + "/" + e->d_name)) {
            ok = false;
            break;
        }
        ++here;
    }
    closedir(d);
    if (ok && here == 0) {
        std::fprintf(stderr, "replay: no input in '%s'\n", dir.c_str());
        ok = false;
    }
    files += here;
    return ok;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR-OR-FILE...\n", argv[0]);
        return 2;
    }
    size_t files = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "replay: cannot read '%s': %s\n", argv[i], std::strerror(errno));
            return 1;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!replayDir(argv[i], files))
                return 1;
        } else {
            if (!replayFile(argv[i]))
                return 1;
            ++files;
        }
    }
    std::printf("replayed %zu inputs\n", files);
    return 0;
}
