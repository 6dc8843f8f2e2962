// Feeds the plinthd seed corpora to the fuzz entry points, so ctest runs
// them without clang or libFuzzer: plinthd_replay <cmd-dir> <query-dir>.
#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plinthdfuzzentry.h"

static int ReplayDir(const std::string& sDir, int (*pEntry)(const uint8_t*, size_t))
{
    DIR* pDir = opendir(sDir.c_str());
    if (pDir == nullptr)
        return -1;
    int iCount = 0;
    while (dirent* pEnt = readdir(pDir)) {
        if (pEnt->d_name[0] == '.')
            continue;
        std::ifstream in(sDir + "/" + pEnt->d_name, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        pEntry(bytes.data(), bytes.size());
        iCount++;
    }
    closedir(pDir);
    return iCount;
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    int iCmd = ReplayDir(argv[1], plinthdFuzzCmd);
    int iQuery = ReplayDir(argv[2], plinthdFuzzQuery);
    printf("replayed %d command and %d query inputs\n", iCmd, iQuery);
    return iCmd > 0 && iQuery > 0 ? 0 : 1;
}
