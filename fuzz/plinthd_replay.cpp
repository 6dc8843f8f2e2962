// Feeds the plinthd seed corpora to the fuzz entry points, so ctest runs
// them without clang or libFuzzer: plinthd_replay <cmd-dir> <query-dir>.
// A directory that cannot be listed to the end, an input that cannot be
// read, or a directory without inputs is a failure, never an empty pass.
#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plinthdfuzzentry.h"

// Returns the number of inputs replayed, or -1 on any error.
static int ReplayDir(const std::string& sDir, int (*pEntry)(const uint8_t*, size_t))
{
    DIR* pDir = opendir(sDir.c_str());
    if (pDir == nullptr) {
        fprintf(stderr, "plinthd_replay: cannot open '%s': %s\n", sDir.c_str(), strerror(errno));
        return -1;
    }
    int iCount = 0;
    for (;;) {
        errno = 0;
        const dirent* pEnt = readdir(pDir);
        if (pEnt == nullptr) {
            if (errno != 0) {
                fprintf(stderr, "plinthd_replay: cannot list '%s': %s\n", sDir.c_str(),
                        strerror(errno));
                iCount = -1;
            }
            break;
        }
        if (pEnt->d_name[0] == '.')
            continue;
        const std::string sPath = sDir + "/" + pEnt->d_name;
        std::ifstream in(sPath, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        if (!in.is_open() || in.bad()) {
            fprintf(stderr, "plinthd_replay: cannot read '%s'\n", sPath.c_str());
            iCount = -1;
            break;
        }
        pEntry(bytes.data(), bytes.size());
        iCount++;
    }
    closedir(pDir);
    if (iCount == 0)
        fprintf(stderr, "plinthd_replay: no input in '%s'\n", sDir.c_str());
    return iCount;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s CMD-DIR QUERY-DIR\n", argv[0]);
        return 2;
    }
    int iCmd = ReplayDir(argv[1], plinthdFuzzCmd);
    int iQuery = ReplayDir(argv[2], plinthdFuzzQuery);
    printf("replayed %d command and %d query inputs\n", iCmd, iQuery);
    return iCmd > 0 && iQuery > 0 ? 0 : 1;
}
