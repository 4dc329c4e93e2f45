/*
 * control.cpp: device-control requests of a port, delivered one at a time
 * by its sequential ControlQueue. Every request but a link-change wait
 * completes before the dispatch returns; a code the port does not handle
 * completes with STATUS_INVALID_DEVICE_REQUEST. Event registration never
 * gets here: it is finished in the caller's context (preprocess.cpp).
 *
 * Input and output share one system buffer, so every handler takes its
 * input into locals before it writes any output.
 *
 * Instance settings are stored here and read by the handle's instance
 * thread without a lock; each is a single 32-, 16- or 8-bit store, and any
 * value, old or new, is a valid setting for its next poll.
 */
#include "datapath.h"

#include <atomic>

#include "hw/controller.h"

/* PHY registers a client may read: status, partner ability, expansion,
 * next page, 1000BASE-T status and the vendor's specific control and status
 * registers. */
static BOOLEAN PhyReadAllowed(USHORT Register)
{
    switch (Register) {
    case 1: case 5: case 6: case 8: case 10: case 16: case 17: case 19:
        return TRUE;
    default:
        return FALSE;
    }
}

/* PHY registers a client may write: control, advertisement, 1000BASE-T
 * control and the specific control register. */
static BOOLEAN PhyWriteAllowed(USHORT Register)
{
    return Register == 0 || Register == 4 || Register == 9 || Register == 16;
}

/* EERD carries a 14-bit word address and the SPI write a 16-bit byte
 * address: a larger word address would silently reach another word (word
 * 0x8000 is word 0, the station address). */
#define EEPROM_WORD_ADDRESS_LIMIT 0x4000u

/* ------------------------------------------------------------------ */
/* Buffers                                                             */

static NTSTATUS InputRetrieve(WDFREQUEST Request, size_t Length, PVOID Value)
{
    PVOID in;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, Length, &in, NULL);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(Value, in, Length);
    }
    return status;
}

static NTSTATUS InputULong(WDFREQUEST Request, PULONG Value)
{
    return InputRetrieve(Request, sizeof(*Value), Value);
}

static NTSTATUS OutputWrite(WDFREQUEST Request, const VOID *Value, size_t Length, size_t *Information)
{
    PVOID out;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, Length, &out, NULL);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(out, Value, Length);
        *Information = Length;
    }
    return status;
}

static NTSTATUS OutputULong(WDFREQUEST Request, ULONG Value, size_t *Information)
{
    return OutputWrite(Request, &Value, sizeof(Value), Information);
}

/* Writes the 9 meaningful bytes of a 12-byte record; the padding is the
 * caller's own. */
static NTSTATUS OutputAutonegotiation(WDFREQUEST Request, ULONG Modes, size_t *Information)
{
    PFL_IOCTL_AUTONEGOTIATION out;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(*out), (PVOID *)&out, NULL);
    if (NT_SUCCESS(status)) {
        out->Modes = Modes;
        out->SupportedModes = FL_MODES_ALL;
        out->Enabled = 1;
        *Information = sizeof(*out);
    }
    return status;
}

/* The statistics codes: the whole table when it fits; otherwise, for an
 * output of at least 4 bytes, the size it needs with
 * STATUS_BUFFER_OVERFLOW, so that a caller can ask again. Fill runs only
 * when the table is answered. */
template <typename Fill>
static NTSTATUS OutputCounters(WDFREQUEST Request, size_t OutputBufferLength, ULONG Count, size_t *Information,
                               Fill fill)
{
    ULONG size = Count * (ULONG)sizeof(ULONGLONG);
    PVOID out;
    if (OutputBufferLength < size) {
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, NULL);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        RtlCopyMemory(out, &size, sizeof(size));
        *Information = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, size, &out, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONGLONG counters[FL_PORT_STAT_COUNT];
    fill(counters);
    RtlCopyMemory(out, counters, size);
    *Information = size;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Port codes                                                          */

VOID LinkStatusFill(PFDO_DATA Fdo, UCHAR LinkUp, PFL_IOCTL_LINK_STATUS Record)
{
    Record->Speed = LinkUp ? ReadULongAcquire(&Fdo->LinkSpeed) : 0;
    Record->Duplex = LinkUp ? ReadULongAcquire(&Fdo->LinkDuplex) : FL_LINK_DUPLEX_DOWN;
    Record->LinkUp = LinkUp;
}

static NTSTATUS QueryLinkStatus(PFDO_DATA Fdo, WDFREQUEST Request, size_t *Information)
{
    PFL_IOCTL_LINK_STATUS out;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(*out), (PVOID *)&out, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LinkStatusFill(Fdo, LinkStateUp(LinkStateRead(Fdo)), out);
    *Information = sizeof(*out);
    return STATUS_SUCCESS;
}

/* Waits are held in the manual LinkWaitQueue; the instance thread of the
 * handle completes one when the link changes (or has changed since its last
 * report). */
static NTSTATUS WaitLinkChange(PFDO_DATA Fdo, WDFREQUEST Request, size_t OutputBufferLength)
{
    if (OutputBufferLength < sizeof(FL_IOCTL_LINK_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return WdfRequestForwardToIoQueue(Request, Fdo->LinkWaitQueue);
}

/* The modes take effect on the PHY at once and are kept for the next start
 * of the controller; the registry keeps its own value. */
static NTSTATUS SetAutonegotiation(PFDO_DATA Fdo, WDFREQUEST Request)
{
    FL_IOCTL_AUTONEGOTIATION in;
    NTSTATUS status = InputRetrieve(Request, sizeof(in), &in);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!in.Enabled || (in.Modes & ~FL_MODES_ALL) != 0 || in.SupportedModes != in.Modes) {
        return STATUS_INVALID_PARAMETER;
    }
    status = Advertise(Fdo, in.Modes);
    if (NT_SUCCESS(status)) {
        /* Read by D0 entry on another thread when the port restarts. */
        std::atomic_ref<ULONG>(Fdo->AutonegotiationConfiguration).store(in.Modes, std::memory_order_relaxed);
    }
    return status;
}

static NTSTATUS QueryPartnerAbilities(PFDO_DATA Fdo, WDFREQUEST Request, size_t *Information)
{
    FL_IOCTL_AUTONEGOTIATION partner;
    NTSTATUS status = PartnerAbilities(Fdo, &partner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return OutputAutonegotiation(Request, partner.Modes, Information);
}

static NTSTATUS ReadPhyRegister(PFDO_DATA Fdo, WDFREQUEST Request, size_t *Information)
{
    FL_IOCTL_PHY_READ in;
    NTSTATUS status = InputRetrieve(Request, sizeof(in), &in);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!PhyReadAllowed(in.Register)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID out;
    status = WdfRequestRetrieveOutputBuffer(Request, sizeof(FL_IOCTL_PHY_READ), &out, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FL_IOCTL_PHY_READ answer = {0, in.Register};
    status = PhyRead(Fdo, in.Register, &answer.Value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlCopyMemory(out, &answer, sizeof(answer));
    *Information = sizeof(answer);
    return STATUS_SUCCESS;
}

static NTSTATUS WritePhyRegister(PFDO_DATA Fdo, WDFREQUEST Request)
{
    FL_IOCTL_PHY_WRITE in;
    NTSTATUS status = InputRetrieve(Request, sizeof(in), &in);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!PhyWriteAllowed(in.Register)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    /* Bits under the mask come from the value, the rest stay. */
    return PhyModify(Fdo, in.Register, in.Mask, (USHORT)(in.Value & in.Mask));
}

static NTSTATUS SetLedCode(PFDO_DATA Fdo, WDFREQUEST Request, ULONG Led)
{
    ULONG code;
    NTSTATUS status = InputULong(Request, &code);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SetLed(Fdo, Led, code);
}

static NTSTATUS QueryLedCode(PFDO_DATA Fdo, WDFREQUEST Request, ULONG Led, size_t *Information)
{
    LONG code = QueryLed(Fdo, Led);
    return OutputWrite(Request, &code, sizeof(code), Information);
}

static NTSTATUS WriteEepromWord(PFDO_DATA Fdo, WDFREQUEST Request)
{
    FL_IOCTL_EEPROM_WORD in;
    NTSTATUS status = InputRetrieve(Request, sizeof(in), &in);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (in.Address >= EEPROM_WORD_ADDRESS_LIMIT) {
        return STATUS_INVALID_PARAMETER;
    }
    return EepromWriteWordAndRepair(Fdo, in.Address, in.Value);
}

static NTSTATUS ReadEepromWord(PFDO_DATA Fdo, WDFREQUEST Request, size_t *Information)
{
    USHORT address;
    NTSTATUS status = InputRetrieve(Request, sizeof(address), &address);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (address >= EEPROM_WORD_ADDRESS_LIMIT) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID out;
    status = WdfRequestRetrieveOutputBuffer(Request, sizeof(FL_IOCTL_EEPROM_WORD), &out, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FL_IOCTL_EEPROM_WORD answer = {address, 0};
    status = EepromReadWord(Fdo, address, &answer.Value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlCopyMemory(out, &answer, sizeof(answer));
    *Information = sizeof(answer);
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Instance codes                                                      */

/* The instance's reader entry comes first, so that a port without a free
 * entry changes nothing. The baseline is taken from counters brought up to
 * date, so that the instance counts only what arrives from now on. The
 * instance thread reads ReaderIndex only after it sees ReceptionEnabled
 * (release here, acquire there). */
static NTSTATUS EnableReception(PFILE_OBJECT_DATA Instance)
{
    if (ReadUCharAcquire(&Instance->ReceptionEnabled)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG index;
    NTSTATUS status = ReaderAttach(Instance->Port, &index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Instance->ReaderIndex = index;
    CountersAccumulate(Instance->Port, Instance->CounterBaseline);
    WriteUCharRelease(&Instance->ReceptionEnabled, 1);
    InterlockedIncrement(&DriverGetContext(WdfGetDriver())->ActiveInstanceCount);
    return STATUS_SUCCESS;
}

/* A passthru port sends what its partner receives; a client's frames have
 * no place there. */
static NTSTATUS EnableTransmission(PFILE_OBJECT_DATA Instance)
{
    if (ReadUCharAcquire(&Instance->TransmissionEnabled) || Instance->Port->PassthruEnabled) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    WriteUCharRelease(&Instance->TransmissionEnabled, 1);
    InterlockedIncrement(&DriverGetContext(WdfGetDriver())->ActiveInstanceCount);
    return STATUS_SUCCESS;
}

static NTSTATUS QueryHarvestTime(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t *Information)
{
    if (!ReadUCharAcquire(&Instance->ReceptionEnabled)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONGLONG time = HarvestTimeRead(Instance->Port);
    return OutputWrite(Request, &time, sizeof(time), Information);
}

/* Receive counters are the port's since reception was enabled; dropped
 * adds the frames the controller missed to the frames tail pruning took from
 * this instance's reader. Without reception they are all 0. */
static VOID InstanceCountersFill(PFILE_OBJECT_DATA Instance, PULONGLONG Out)
{
    RtlZeroMemory(Out, FL_INSTANCE_COUNTER_COUNT * sizeof(ULONGLONG));
    Out[FL_INSTANCE_COUNTER_PACKETS_SENT] = (ULONGLONG)InterlockedCompareExchange64(
        (LONG64 volatile *)&Instance->TxPackets, 0, 0);
    Out[FL_INSTANCE_COUNTER_OCTETS_SENT] = (ULONGLONG)InterlockedCompareExchange64(
        (LONG64 volatile *)&Instance->TxBytes, 0, 0);
    if (!ReadUCharAcquire(&Instance->ReceptionEnabled)) {
        return;
    }
    PFDO_DATA port = Instance->Port;
    ULONGLONG now[FL_PORT_STAT_COUNT];
    CountersAccumulate(port, now);
    const PULONGLONG base = Instance->CounterBaseline;
    Out[FL_INSTANCE_COUNTER_OCTETS_RECEIVED] =
        now[FL_PORT_STAT_OCTETS_RECEIVED] - base[FL_PORT_STAT_OCTETS_RECEIVED];
    Out[FL_INSTANCE_COUNTER_PACKETS_RECEIVED] =
        now[FL_PORT_STAT_PACKETS_RECEIVED] - base[FL_PORT_STAT_PACKETS_RECEIVED];
    Out[FL_INSTANCE_COUNTER_GOOD_RECEIVED] =
        now[FL_PORT_STAT_GOOD_RECEIVED] - base[FL_PORT_STAT_GOOD_RECEIVED];
    Out[FL_INSTANCE_COUNTER_RECEIVE_ERRORS] =
        now[FL_PORT_STAT_RECEIVE_ERRORS] - base[FL_PORT_STAT_RECEIVE_ERRORS];

    WdfSpinLockAcquire(port->ReaderLock);
    ULONGLONG pruned = port->ReaderTable[Instance->ReaderIndex].Dropped;
    WdfSpinLockRelease(port->ReaderLock);
    Out[FL_INSTANCE_COUNTER_DROPPED] = now[FL_PORT_STAT_MISSED] - base[FL_PORT_STAT_MISSED] + pruned;
}

static VOID SnapLengthWrite(PFILE_OBJECT_DATA Instance, USHORT Value)
{
    std::atomic_ref<USHORT>(const_cast<USHORT &>(Instance->SnapLength)).store(Value, std::memory_order_relaxed);
}

static USHORT SnapLengthRead(PFILE_OBJECT_DATA Instance)
{
    return std::atomic_ref<USHORT>(const_cast<USHORT &>(Instance->SnapLength)).load(std::memory_order_relaxed);
}

static NTSTATUS SetReadThreshold(PFILE_OBJECT_DATA Instance, WDFREQUEST Request)
{
    ULONG value;
    NTSTATUS status = InputULong(Request, &value);
    if (NT_SUCCESS(status)) {
        WriteULongNoFence(&Instance->ReadThreshold, value);
    }
    return status;
}

static NTSTATUS SetSnapLength(PFILE_OBJECT_DATA Instance, WDFREQUEST Request)
{
    USHORT value;
    NTSTATUS status = InputRetrieve(Request, sizeof(value), &value);
    if (NT_SUCCESS(status)) {
        SnapLengthWrite(Instance, value);
    }
    return status;
}

static NTSTATUS SetErrorFilter(PFILE_OBJECT_DATA Instance, WDFREQUEST Request)
{
    ULONG value;
    NTSTATUS status = InputULong(Request, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value > (ERROR_FILTER_GOOD | ERROR_FILTER_CRC | ERROR_FILTER_OTHER)) {
        return STATUS_INVALID_PARAMETER;
    }
    WriteULongNoFence(&Instance->ErrorFilter, value);
    return STATUS_SUCCESS;
}

/* A timeout of 0 would make every poll complete a read. */
static NTSTATUS SetReadTimeout(PFILE_OBJECT_DATA Instance, WDFREQUEST Request)
{
    ULONG value;
    NTSTATUS status = InputULong(Request, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    WriteULongNoFence(&Instance->ReadTimeout, value);
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Dispatch                                                            */

/* Codes that act on the handle's own instance; FALSE for any other. */
static BOOLEAN InstanceControl(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t OutputBufferLength,
                               ULONG IoControlCode, NTSTATUS *Status, size_t *Information)
{
    switch (IoControlCode) {
    case IOCTL_INSTANCE_ENABLE_RECEPTION:
        *Status = EnableReception(Instance);
        return TRUE;
    case IOCTL_INSTANCE_ENABLE_TRANSMISSION:
        *Status = EnableTransmission(Instance);
        return TRUE;
    case IOCTL_INSTANCE_SET_READ_THRESHOLD:
        *Status = SetReadThreshold(Instance, Request);
        return TRUE;
    case IOCTL_INSTANCE_QUERY_HARVEST_TIME:
        *Status = QueryHarvestTime(Instance, Request, Information);
        return TRUE;
    case IOCTL_INSTANCE_SET_SNAPLEN:
        *Status = SetSnapLength(Instance, Request);
        return TRUE;
    case IOCTL_INSTANCE_SET_ERROR_FILTER:
        *Status = SetErrorFilter(Instance, Request);
        return TRUE;
    case IOCTL_INSTANCE_QUERY_STATISTICS:
        *Status = OutputCounters(Request, OutputBufferLength, FL_INSTANCE_COUNTER_COUNT, Information,
                                 [Instance](PULONGLONG out) { InstanceCountersFill(Instance, out); });
        return TRUE;
    case IOCTL_INSTANCE_SET_READ_TIMEOUT:
        *Status = SetReadTimeout(Instance, Request);
        return TRUE;
    case IOCTL_INSTANCE_QUERY_READ_TIMEOUT:
        *Status = OutputULong(Request, ReadULongNoFence(&Instance->ReadTimeout), Information);
        return TRUE;
    case IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED:
        *Status = OutputULong(Request, ReadUCharAcquire(&Instance->ReceptionEnabled), Information);
        return TRUE;
    case IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED:
        *Status = OutputULong(Request, ReadUCharAcquire(&Instance->TransmissionEnabled), Information);
        return TRUE;
    case IOCTL_INSTANCE_QUERY_READ_THRESHOLD:
        *Status = OutputULong(Request, ReadULongNoFence(&Instance->ReadThreshold), Information);
        return TRUE;
    case IOCTL_INSTANCE_QUERY_SNAPLEN: {
        USHORT snap = SnapLengthRead(Instance);
        *Status = OutputWrite(Request, &snap, sizeof(snap), Information);
        return TRUE;
    }
    case IOCTL_INSTANCE_QUERY_ERROR_FILTER:
        *Status = OutputULong(Request, ReadULongNoFence(&Instance->ErrorFilter), Information);
        return TRUE;
    default:
        return FALSE;
    }
}

/* Codes that act on the port every handle shares; FALSE for any other. */
static BOOLEAN PortControl(PFDO_DATA Fdo, WDFREQUEST Request, size_t OutputBufferLength, ULONG IoControlCode,
                           NTSTATUS *Status, size_t *Information)
{
    switch (IoControlCode) {
    case IOCTL_PORT_QUERY_MAC_ADDRESS:
        *Status = OutputWrite(Request, Fdo->MacAddress, sizeof(Fdo->MacAddress), Information);
        return TRUE;
    case IOCTL_PORT_QUERY_LINK_STATUS:
        *Status = QueryLinkStatus(Fdo, Request, Information);
        return TRUE;
    case IOCTL_PORT_SET_AUTONEGOTIATION:
        *Status = SetAutonegotiation(Fdo, Request);
        return TRUE;
    case IOCTL_PORT_QUERY_AUTONEGOTIATION:
        *Status = OutputAutonegotiation(
            Request, std::atomic_ref<ULONG>(Fdo->AutonegotiationConfiguration).load(std::memory_order_relaxed),
            Information);
        return TRUE;
    case IOCTL_PORT_QUERY_PARTNER_ABILITIES:
        *Status = QueryPartnerAbilities(Fdo, Request, Information);
        return TRUE;
    case IOCTL_PORT_READ_PHY_REGISTER:
        *Status = ReadPhyRegister(Fdo, Request, Information);
        return TRUE;
    case IOCTL_PORT_WRITE_PHY_REGISTER:
        *Status = WritePhyRegister(Fdo, Request);
        return TRUE;
    case IOCTL_PORT_QUERY_STATISTICS:
        *Status = OutputCounters(Request, OutputBufferLength, FL_PORT_STAT_COUNT, Information,
                                 [Fdo](PULONGLONG out) { CountersAccumulate(Fdo, out); });
        return TRUE;
    case IOCTL_PORT_SET_LED0:
        *Status = SetLedCode(Fdo, Request, 0);
        return TRUE;
    case IOCTL_PORT_QUERY_LED0:
        *Status = QueryLedCode(Fdo, Request, 0, Information);
        return TRUE;
    case IOCTL_PORT_SET_LED2:
        *Status = SetLedCode(Fdo, Request, 2);
        return TRUE;
    case IOCTL_PORT_QUERY_LED2:
        *Status = QueryLedCode(Fdo, Request, 2, Information);
        return TRUE;
    case IOCTL_PORT_SET_LED3:
        *Status = SetLedCode(Fdo, Request, 3);
        return TRUE;
    case IOCTL_PORT_QUERY_LED3:
        *Status = QueryLedCode(Fdo, Request, 3, Information);
        return TRUE;
    case IOCTL_PORT_QUERY_RX_SLOT_SIZE:
        *Status = OutputULong(Request, Fdo->RxSlotSize, Information);
        return TRUE;
    case IOCTL_PORT_QUERY_TX_SLOT_SIZE:
        *Status = OutputULong(Request, Fdo->TxSlotSize, Information);
        return TRUE;
    case IOCTL_PORT_QUERY_RX_SLOTS:
        *Status = OutputULong(Request, Fdo->RxSlots, Information);
        return TRUE;
    case IOCTL_PORT_QUERY_TX_SLOTS:
        *Status = OutputULong(Request, Fdo->TxSlots, Information);
        return TRUE;
    case IOCTL_PORT_QUERY_RX_DESCRIPTORS:
        *Status = OutputULong(Request, Fdo->RxDescriptors, Information);
        return TRUE;
    case IOCTL_PORT_QUERY_TX_DESCRIPTORS:
        *Status = OutputULong(Request, Fdo->TxDescriptors, Information);
        return TRUE;
    case IOCTL_PORT_WRITE_EEPROM_WORD:
        *Status = WriteEepromWord(Fdo, Request);
        return TRUE;
    case IOCTL_PORT_READ_EEPROM_WORD:
        *Status = ReadEepromWord(Fdo, Request, Information);
        return TRUE;
    default:
        return FALSE;
    }
}

VOID ControlDispatch(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                     ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(InputBufferLength);
    PFDO_DATA fdo = FdoGetData(WdfIoQueueGetDevice(Queue));
    size_t information = 0;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;

    if (IoControlCode == IOCTL_PORT_WAIT_LINK_CHANGE) {
        status = WaitLinkChange(fdo, Request, OutputBufferLength);
        if (NT_SUCCESS(status)) {
            return; /* pending */
        }
    } else {
        WDFFILEOBJECT file = WdfRequestGetFileObject(Request);
        BOOLEAN handled = file != NULL && InstanceControl(FileGetData(file), Request, OutputBufferLength,
                                                          IoControlCode, &status, &information);
        if (!handled) {
            (VOID) PortControl(fdo, Request, OutputBufferLength, IoControlCode, &status, &information);
        }
    }
    /* A warning (the statistics size answer) carries its bytes; a failure
     * none. */
    WdfRequestCompleteWithInformation(Request, status, NT_ERROR(status) ? 0 : information);
}
