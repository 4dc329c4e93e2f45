// The interface class's GUID has its storage here.
#define INITGUID
#include "Enumeration.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "WideText.h"

namespace FlApi {
namespace {

constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// The block FlQueryPortList returns: this header, the port array (the
// caller's pointer), then the board array.
struct PortListHeader {
    FL_PORT* Ports;
    uint32_t PortCount;
    FL_BOARD* Boards;
    uint32_t BoardCount;
};
static_assert(sizeof(PortListHeader) % alignof(FL_PORT) == 0);

PortListHeader* HeaderOf(FL_PORT* list) noexcept
{
    return reinterpret_cast<PortListHeader*>(reinterpret_cast<char*>(list) - sizeof(PortListHeader));
}

// Device paths are ASCII, and Windows compares them without regard to case.
bool SamePath(const std::string& a, const char* b) noexcept
{
    const auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

std::string ReadCustomDescription(HKEY key)
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key, u"CustomDescription", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size < 3) {
        return {};
    }
    // One character more than the value holds, zeroed: a value written
    // without its terminator (or of odd length) still ends inside the buffer.
    std::u16string text(size / 2 + 1, u'\0');
    DWORD read = size;
    if (RegQueryValueExW(key, u"CustomDescription", nullptr, &type,
                         reinterpret_cast<BYTE*>(text.data()), &read) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    text.resize(std::char_traits<char16_t>::length(text.c_str()));
    return NarrowFromWide(text);
}

std::string ReadDeviceDescription(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    DWORD size = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_DEVICEDESC, nullptr, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return {};
    }
    std::string text(size + 1, '\0');
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_DEVICEDESC, nullptr,
                                           reinterpret_cast<BYTE*>(text.data()), size, nullptr)) {
        return {};
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

} // namespace

FL_STATUS GetPortInterfaces(HDEVINFO* set) noexcept
{
    *set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_FL, nullptr, nullptr, kPresentInterfaces);
    return *set == INVALID_HANDLE_VALUE ? FL_ERROR_UNKNOWN : FL_SUCCESS;
}

bool GetInterface(HDEVINFO set, DWORD index, std::string* path, SP_DEVINFO_DATA* device, bool* end)
{
    *end = false;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_FL, index, &data)) {
        *end = true;
        return false;
    }
    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) {
        return false;
    }
    // The detail record is a fixed header followed by the path; its size
    // field names the header, whatever the length of the buffer.
    const size_t storage = std::max<size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    std::unique_ptr<uint64_t[]> buffer(new uint64_t[(storage + 7) / 8]);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    device->cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, device)) {
        return false;
    }
    *path = detail->DevicePath;
    return true;
}

FL_STATUS FindDeviceInfo(const char* name, DeviceInfo* info)
{
    const FL_STATUS status = GetPortInterfaces(&info->Set);
    if (status != FL_SUCCESS) {
        return status;
    }
    bool end = false;
    for (DWORD index = 0; !end; ++index) {
        std::string path;
        if (GetInterface(info->Set, index, &path, &info->Data, &end) &&
            SamePath(path, name)) {
            return FL_SUCCESS;
        }
    }
    SetupDiDestroyDeviceInfoList(info->Set);
    info->Set = INVALID_HANDLE_VALUE;
    return FL_ERROR_REGISTRY;
}

FL_STATUS OpenPortKey(DeviceInfo& info, REGSAM access, UniqueKey* key)
{
    HKEY opened = SetupDiOpenDevRegKey(info.Set, &info.Data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, access);
    if (opened == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) || opened == nullptr) {
        return FL_ERROR_UNKNOWN;
    }
    key->Reset(opened);
    return FL_SUCCESS;
}

FL_STATUS RegistryWriteFailure(LSTATUS error)
{
    return error == ERROR_ACCESS_DENIED ? FL_ERROR_REGISTRY : FL_ERROR_UNKNOWN;
}

// The hardware key of the device behind `port`.
static FL_STATUS OpenKeyOfPort(Port* port, REGSAM access, UniqueKey* key)
{
    DeviceInfo info;
    const FL_STATUS status = FindDeviceInfo(port->GetName(), &info);
    if (status != FL_SUCCESS) {
        return status;
    }
    return OpenPortKey(info, access, key);
}

FL_STATUS ReadPortDword(Port* port, const char* valueName, DWORD* value)
{
    UniqueKey key;
    if (const FL_STATUS status = OpenKeyOfPort(port, KEY_READ, &key); status != FL_SUCCESS) {
        return status;
    }
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExA(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data)) {
        return FL_ERROR_REGISTRY;
    }
    *value = data;
    return FL_SUCCESS;
}

FL_STATUS WritePortDword(Port* port, const char* valueName, DWORD value)
{
    UniqueKey key;
    if (const FL_STATUS status = OpenKeyOfPort(port, KEY_SET_VALUE, &key); status != FL_SUCCESS) {
        return status;
    }
    const LSTATUS error = RegSetValueExA(key.Get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                         sizeof(value));
    if (error != ERROR_SUCCESS) {
        return RegistryWriteFailure(error);
    }
    return FL_SUCCESS;
}

FL_STATUS DeletePortValue(Port* port, const char* valueName)
{
    UniqueKey key;
    if (const FL_STATUS status = OpenKeyOfPort(port, KEY_SET_VALUE, &key); status != FL_SUCCESS) {
        return status;
    }
    const LSTATUS error = RegDeleteValueA(key.Get(), valueName);
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ? FL_SUCCESS : FL_ERROR_UNKNOWN;
}

std::string ReadPortDescription(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    HKEY opened = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (opened != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) && opened != nullptr) {
        UniqueKey key(opened);
        std::string custom = ReadCustomDescription(key.Get());
        if (!custom.empty()) {
            return custom;
        }
    }
    return ReadDeviceDescription(set, device);
}

FL_STATUS BuildPortList(std::vector<std::unique_ptr<PhysicalPort>> ports, FL_PORT** list,
                        uint32_t* count)
{
    *list = nullptr;
    *count = 0;

    // Boards, newest first: a port joins the most recently made board that
    // takes it.
    std::vector<std::unique_ptr<Board>> boards;
    for (const std::unique_ptr<PhysicalPort>& port : ports) {
        Board* found = nullptr;
        for (auto board = boards.rbegin(); board != boards.rend() && found == nullptr; ++board) {
            if (BoardTakes(**board, port->MacAddress())) {
                found = board->get();
            }
        }
        if (found == nullptr) {
            boards.push_back(NewBoard(port->MacAddress()));
            found = boards.back().get();
        }
        AttachPort(*found, port.get());
    }

    std::vector<std::unique_ptr<Port>> aggregating;
    for (auto board = boards.rbegin(); board != boards.rend(); ++board) {
        if ((*board)->PortCount == 2) {
            aggregating.push_back(std::make_unique<BapPort>(board->get(), false));
        }
    }
    if (boards.size() >= 2) {
        std::vector<FL_PORT> members;
        members.reserve(ports.size());
        for (const std::unique_ptr<PhysicalPort>& port : ports) {
            members.push_back(ToHandle(port.get()));
        }
        aggregating.push_back(std::make_unique<FlApPort>(std::move(members), false));
    }

    const size_t portCount = ports.size() + aggregating.size();
    if (portCount == 0) {
        return FL_SUCCESS;
    }
    const size_t bytes = sizeof(PortListHeader) + portCount * sizeof(FL_PORT) + boards.size() * sizeof(FL_BOARD);
    void* block = std::malloc(bytes);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    auto* header = static_cast<PortListHeader*>(block);
    header->Ports = reinterpret_cast<FL_PORT*>(header + 1);
    header->PortCount = static_cast<uint32_t>(portCount);
    header->Boards = reinterpret_cast<FL_BOARD*>(header->Ports + portCount);
    header->BoardCount = static_cast<uint32_t>(boards.size());

    // From here on nothing throws: the block takes over everything.
    size_t next = 0;
    for (std::unique_ptr<PhysicalPort>& port : ports) {
        header->Ports[next++] = ToHandle(port.release());
    }
    for (std::unique_ptr<Port>& port : aggregating) {
        header->Ports[next++] = ToHandle(port.release());
    }
    for (size_t i = 0; i < boards.size(); ++i) {
        header->Boards[i] = ToHandle(boards[boards.size() - 1 - i].release());
    }
    *list = header->Ports;
    *count = header->PortCount;
    return FL_SUCCESS;
}

FL_STATUS QueryPortList(FL_PORT** list, uint32_t* count)
{
    DeviceInfo interfaces;
    const FL_STATUS status = GetPortInterfaces(&interfaces.Set);
    if (status != FL_SUCCESS) {
        return status;
    }
    std::vector<std::unique_ptr<PhysicalPort>> ports;
    bool end = false;
    for (DWORD index = 0; !end; ++index) {
        std::string path;
        SP_DEVINFO_DATA device{};
        if (!GetInterface(interfaces.Set, index, &path, &device, &end)) {
            continue;
        }
        const std::string description = ReadPortDescription(interfaces.Set, &device);
        std::unique_ptr<PhysicalPort> port;
        // A port whose device does not open or does not tell its address
        // is left out; the others are still listed.
        if (PhysicalPort::Create(path.c_str(), description.c_str(), &port) == FL_SUCCESS) {
            ports.push_back(std::move(port));
        }
    }
    return BuildPortList(std::move(ports), list, count);
}

void FreePortList(FL_PORT* list) noexcept
{
    if (list == nullptr) {
        return;
    }
    PortListHeader* header = HeaderOf(list);
    // Ports first: the aggregating ones refer to the physical ones and the
    // boards, but none of them releases what the list owns.
    for (uint32_t i = 0; i < header->PortCount; ++i) {
        delete FromHandle(header->Ports[i]);
    }
    for (uint32_t i = 0; i < header->BoardCount; ++i) {
        delete FromHandle(header->Boards[i]);
    }
    std::free(header);
}

uint32_t GetListBoards(FL_PORT* list, FL_BOARD** boards) noexcept
{
    if (list == nullptr) {
        *boards = nullptr;
        return 0;
    }
    PortListHeader* header = HeaderOf(list);
    *boards = header->Boards;
    return header->BoardCount;
}

} // namespace FlApi
