#include "tool/modify_command.h"

int main(int argc, char** argv)
{
    return kevo_modifyMain(argc, argv);
}
