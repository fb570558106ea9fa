#include <cstdio>

#include "cli/standard_descriptors.h"
#include "info/kevo_info.h"

// Standard output is unbuffered: the dump and the JSON gather their own text
// and write it in blocks that end at a line end, each then one write call,
// so a listing that is stopped part-way ends with a whole line.
int main(int argc, char** argv)
{
    // Before anything is opened, so that no file read can take the place of
    // standard output or error. Without /dev/null there is nowhere to say so.
    if (!kevo_openStandardDescriptors()) {
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return kevo_infoMain(argc, argv);
}
