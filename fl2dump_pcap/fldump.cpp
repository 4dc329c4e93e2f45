/*
 * fldump.cpp - what makes the shared capture loop FlDump.
 */
#include "fldump.h"

namespace {

const char* const kUsage[] = {
    "Usage: FlDump.exe filename ",
    "[-f <filter string>] ",
    "[-p <port name>] [-e] [-s <snaplen>]\n",
    "\n",
    "\tfilename            name of the file to dump to\n",
    "\t-f <filter string>  filter string, in the libpcap/tcpdump format \n",
    "\t                    (e.g. \"tcp port 80\").\n",
    "\t-p <port name>      name of the port to capture from.\n",
    "\t-e                  when capturing from an aggregating port, save the\n",
    "\t                    ID of the physical ports for each packet.\n",
    "\t-s <snaplen>        save only the first <snaplen> bytes of each packet\n",
    "\t-c\t\t      Enable the use of the file system cache\n",
};

}  // namespace

const DUMP_TOOL FlDumpTool = {
    kUsage,
    sizeof(kUsage) / sizeof(kUsage[0]),
    TRUE,      // -e and -c
    TRUE,      // hardware drops
    50000000,  // report after this many packets
    5000,      // or at the first buffer 5 s after the last report
    TRUE,      // the first report measures from the capture's start
    TRUE,      // the key before the stop flag
};

BOOLEAN PcapDumpOutput::Open(const DUMP_SETTINGS& Settings, FL_INSTANCE)
{
    ULONG code = native_file_open(Settings.FileName, Settings.BufferSize, Settings.BufferCount,
                                  Settings.UseCache, &File_);
    if (code != NATIVE_FILE_SUCCESS) {
        File_ = nullptr;
        printf("Error opening the file , error %u\n", code);
        print_system_reason(GetLastError());
        return FALSE;
    }
    Ppi_ = Settings.Ppi;
    Written_ = 0;
    InFile_ = 0;
    code = write_pcap_header(File_, Settings.SnapLength, Ppi_);
    if (code != NATIVE_FILE_SUCCESS) {
        printf("Error writing the file header, error %u\n", code);
        print_system_reason(native_file_system_error(File_));
        return FALSE;
    }
    native_file_mark(File_, 0);
    return TRUE;
}

DUMP_WRITE_RESULT PcapDumpOutput::WritePacket(const FL_PACKET_HEADER& Header, const UCHAR* Data)
{
    // A record cut short leaves the file unreadable from there on: nothing
    // more may follow it.
    if (write_pcap_record(File_, Ppi_, &Header, Data) != NATIVE_FILE_SUCCESS) {
        return DumpWriteBroken;
    }
    native_file_mark(File_, ++Written_);
    return DumpWriteDone;
}

BOOLEAN PcapDumpOutput::Close()
{
    if (File_ == nullptr) {
        return TRUE;
    }
    const ULONG code = native_file_close_counted(File_, &InFile_);
    File_ = nullptr;
    if (code != NATIVE_FILE_SUCCESS) {
        printf("Error closing the file. Error %u\n", code);
        print_system_reason(GetLastError());
        return FALSE;
    }
    return TRUE;
}
