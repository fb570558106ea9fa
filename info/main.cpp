#include "info/kevo_info.h"

int main(int argc, char** argv)
{
    return kevo_infoMain(argc, argv);
}
