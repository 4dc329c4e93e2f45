/*
 * fldump.h - FlDump: the shared capture loop writing a pcap file, with a PPI
 * header per packet on request.
 */
#pragma once

#include "dump_tool.h"
#include "pcap_output.h"

extern const DUMP_TOOL FlDumpTool;

class PcapDumpOutput : public DumpOutput {
public:
    BOOLEAN Open(const DUMP_SETTINGS& Settings, FL_INSTANCE Instance) override;
    DUMP_WRITE_RESULT WritePacket(const FL_PACKET_HEADER& Header, const UCHAR* Data) override;
    BOOLEAN Close() override;
    ULONGLONG PacketsInFile() const override { return InFile_; }

private:
    NativeFile* File_ = nullptr;
    BOOLEAN Ppi_ = FALSE;
    ULONGLONG Written_ = 0;  /* records handed to the writer whole */
    ULONGLONG InFile_ = 0;   /* after Close: the records the file holds */
};
