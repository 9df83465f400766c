#include "authcheck/elf_string.h"

#include <cstring>
#include <elf.h>

namespace velka::authcheck {

namespace {

// Bounds-checked reads of the file image: a damaged file yields nothing.
class Image {
public:
    explicit Image(const std::string &data) : data_(data) {}
    template <typename T> bool read(uint64_t offset, T *out) const {
        if (offset > data_.size() || data_.size() - offset < sizeof(T))
            return false;
        std::memcpy(out, data_.data() + offset, sizeof(T));
        return true;
    }
    std::optional<std::string> cString(uint64_t offset) const {
        if (offset >= data_.size())
            return std::nullopt;
        size_t end = data_.find('\0', offset);
        if (end == std::string::npos)
            return std::nullopt;
        return data_.substr(offset, end - offset);
    }

private:
    const std::string &data_;
};

bool sectionHeader(const Image &img, const Elf64_Ehdr &eh, unsigned index, Elf64_Shdr *sh) {
    return index < eh.e_shnum && img.read(eh.e_shoff + uint64_t(index) * eh.e_shentsize, sh);
}

std::optional<uint64_t> symbolAddress(const Image &img, const Elf64_Ehdr &eh,
                                      const std::string &symbol) {
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr symtab, strtab;
        if (!sectionHeader(img, eh, i, &symtab) || symtab.sh_type != SHT_DYNSYM ||
            !sectionHeader(img, eh, symtab.sh_link, &strtab) || symtab.sh_entsize == 0)
            continue;
        for (uint64_t n = 0; n < symtab.sh_size / symtab.sh_entsize; ++n) {
            Elf64_Sym sym;
            if (!img.read(symtab.sh_offset + n * symtab.sh_entsize, &sym))
                break;
            auto name = img.cString(strtab.sh_offset + sym.st_name);
            if (sym.st_shndx != SHN_UNDEF && name && *name == symbol)
                return sym.st_value;
        }
    }
    return std::nullopt;
}

// A pointer in a position-independent object is filled in at load time by a
// relative relocation whose addend is the target's address.
std::optional<uint64_t> pointerTarget(const Image &img, const Elf64_Ehdr &eh, uint64_t where) {
    const uint32_t relative = eh.e_machine == EM_AARCH64 ? R_AARCH64_RELATIVE : R_X86_64_RELATIVE;
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        if (!sectionHeader(img, eh, i, &sh) || sh.sh_type != SHT_RELA || sh.sh_entsize == 0)
            continue;
        for (uint64_t n = 0; n < sh.sh_size / sh.sh_entsize; ++n) {
            Elf64_Rela rela;
            if (!img.read(sh.sh_offset + n * sh.sh_entsize, &rela))
                break;
            if (rela.r_offset == where && ELF64_R_TYPE(rela.r_info) == relative)
                return static_cast<uint64_t>(rela.r_addend);
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> fileOffset(const Image &img, const Elf64_Ehdr &eh, uint64_t address) {
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        if (!img.read(eh.e_phoff + uint64_t(i) * eh.e_phentsize, &ph))
            return std::nullopt;
        if (ph.p_type == PT_LOAD && address >= ph.p_vaddr && address - ph.p_vaddr < ph.p_filesz)
            return ph.p_offset + (address - ph.p_vaddr);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> readPointerSymbolString(const std::string &contents,
                                                   const std::string &symbol) {
    Image img(contents);
    Elf64_Ehdr eh;
    if (!img.read(0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64)
        return std::nullopt;
    auto where = symbolAddress(img, eh, symbol);
    if (!where)
        return std::nullopt;
    auto target = pointerTarget(img, eh, *where);
    if (!target) {
        // Not relocated: the pointer holds the address itself.
        auto slot = fileOffset(img, eh, *where);
        uint64_t value;
        if (!slot || !img.read(*slot, &value))
            return std::nullopt;
        target = value;
    }
    auto offset = fileOffset(img, eh, *target);
    return offset ? img.cString(*offset) : std::nullopt;
}

} // namespace velka::authcheck
