// Names for the threads the platform starts, from their start routines.
//
// Modules are built with hidden symbols, so dladdr rarely names a start
// routine; the file's own symbol table (.symtab, kept unless the file is
// stripped) names static and hidden functions too. Lookups are cached per
// routine, and a thread is started far less often than it runs.
#include <nt/dispatcher.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace nt {
namespace {

// The name of the function at `offset` (its address less the load base for
// a position-independent file, the address itself otherwise) in the ELF
// file `path`; empty when the file has no such symbol.
std::string SymbolAt(const char* path, uintptr_t address, uintptr_t base) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st{};
    void* map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr)))
        map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return {};
    const auto* bytes = static_cast<const unsigned char*>(map);
    const auto size = static_cast<size_t>(st.st_size);
    std::string found;
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(bytes);
    const bool valid = std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 &&
                       header->e_ident[EI_CLASS] == ELFCLASS64 && header->e_shentsize == sizeof(Elf64_Shdr) &&
                       header->e_shoff < size && header->e_shnum <= (size - header->e_shoff) / sizeof(Elf64_Shdr);
    if (valid) {
        const uintptr_t wanted = header->e_type == ET_DYN ? address - base : address;
        const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + header->e_shoff);
        for (size_t s = 0; s < header->e_shnum && found.empty(); s++) {
            const Elf64_Shdr& table = sections[s];
            if (table.sh_type != SHT_SYMTAB || table.sh_link >= header->e_shnum) continue;
            const Elf64_Shdr& strings = sections[table.sh_link];
            if (table.sh_offset > size || table.sh_size > size - table.sh_offset || strings.sh_offset > size ||
                strings.sh_size > size - strings.sh_offset)
                continue;
            const auto* symbols = reinterpret_cast<const Elf64_Sym*>(bytes + table.sh_offset);
            const size_t count = table.sh_size / sizeof(Elf64_Sym);
            for (size_t i = 0; i < count; i++) {
                const Elf64_Sym& symbol = symbols[i];
                if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_value != wanted) continue;
                if (symbol.st_name >= strings.sh_size) continue;
                const char* name = reinterpret_cast<const char*>(bytes + strings.sh_offset + symbol.st_name);
                found.assign(name, strnlen(name, strings.sh_size - symbol.st_name));
                break;
            }
        }
    }
    munmap(map, size);
    return found;
}

// "ns::ManagementThread(void*)" gives "Management"; a name that reduces to
// nothing useful (a lambda, an operator) gives "".
std::string ShortName(const std::string& symbol) {
    std::string name = symbol;
    int status = 0;
    if (char* demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status)) {
        name = demangled;
        std::free(demangled);
    }
    for (std::string anonymous = "(anonymous namespace)::"; name.find(anonymous) != std::string::npos;)
        name.erase(name.find(anonymous), anonymous.size());
    if (const size_t open = name.find('('); open != std::string::npos) name.resize(open);
    if (const size_t scope = name.rfind("::"); scope != std::string::npos) name.erase(0, scope + 2);
    if (name.empty() || name.find_first_of("{}<> ") != std::string::npos) return {};
    for (const char* suffix : {"Thread", "Routine"}) {
        const size_t length = std::strlen(suffix);
        if (name.size() > length && name.compare(name.size() - length, length, suffix) == 0) {
            name.resize(name.size() - length);
            break;
        }
    }
    if (name.size() > kThreadNameLength) name.resize(kThreadNameLength);
    return name;
}

std::mutex cacheLock;
std::map<const void*, std::string> cache;  // routine -> name; "" when it has no symbol
std::atomic<unsigned> unnamed{0};

}  // namespace

std::string ThreadNameFor(const void* routine) {
    Dl_info info{};
    if (routine == nullptr || dladdr(routine, &info) == 0) return "thread-" + std::to_string(++unnamed);
    std::string file = info.dli_fname != nullptr ? info.dli_fname : "";
    {
        std::lock_guard guard(cacheLock);
        auto it = cache.find(routine);
        if (it == cache.end()) {
            std::string name;
            if (info.dli_sname != nullptr && info.dli_saddr == routine) name = ShortName(info.dli_sname);
            if (name.empty()) {
                // The main program's entry in the link map may carry no path.
                const char* path = file.empty() || file.find('/') == std::string::npos ? "/proc/self/exe" : file.c_str();
                const std::string symbol = SymbolAt(path, reinterpret_cast<uintptr_t>(routine),
                                                    reinterpret_cast<uintptr_t>(info.dli_fbase));
                if (!symbol.empty()) name = ShortName(symbol);
            }
            it = cache.emplace(routine, name).first;
        }
        if (!it->second.empty()) return it->second;
    }
    std::string stem = std::filesystem::path(file.empty() ? "thread" : file).stem().string();
    if (stem.rfind("lib", 0) == 0 && stem.size() > 3) stem.erase(0, 3);
    std::string count = "-" + std::to_string(++unnamed);
    if (stem.size() + count.size() > kThreadNameLength) stem.resize(kThreadNameLength - count.size());
    return stem + count;
}

}  // namespace nt
