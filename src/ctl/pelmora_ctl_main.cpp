/* pelmora-ctl: command-line client of a bus's automation server for
 * operators' scripts and for diagnosing a server. */
#include "ctl.h"

int main(int argc, char **argv)
{
    return ctl_main(argc, argv);
}
