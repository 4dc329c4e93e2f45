/*
 * FlDump: captures one port to a pcap file until a key or Ctrl-C.
 */
#include "fldump.h"

int main(int argc, char** argv)
{
    PcapDumpOutput output;
    return dump_main(argc, argv, FlDumpTool, output);
}
