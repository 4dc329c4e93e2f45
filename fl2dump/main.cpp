/*
 * FlDump_ng: captures one port to a pcap-ng file until a key or Ctrl-C.
 */
#include "pcapng_output.h"

int main(int argc, char** argv)
{
    PcapNgDumpOutput output;
    return dump_main(argc, argv, FlDumpNgTool, output);
}
