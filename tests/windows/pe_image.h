// A small reader of Windows PE images, enough to check what a built module exports, imports
// and carries as resources without running it. Every offset is bounds-checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kFileDll = 0x2000;

// A resource type, name or language key: a number or a string.
struct ResId {
    bool isString = false;
    uint16_t id = 0;
    std::string name;  // ASCII of the UTF-16 string when isString

    std::string Text() const { return isString ? name : "#" + std::to_string(id); }
};

struct Resource {
    ResId type;
    ResId name;
    uint16_t language = 0;
    std::vector<uint8_t> data;
};

struct Symbol {
    std::string name;
    uint32_t rva = 0;
};

struct Export {
    std::string name;
    uint32_t rva = 0;
};

class Image {
  public:
    // False with a reason in *error when the file is not a well-formed PE image.
    bool Load(const std::string& path, std::string* error);

    uint16_t Machine() const { return m_Machine; }
    uint16_t Characteristics() const { return m_Characteristics; }
    const std::vector<Export>& Exports() const { return m_Exports; }
    const std::vector<std::string>& ImportedDlls() const { return m_Imports; }
    const std::vector<Resource>& Resources() const { return m_Resources; }
    // The COFF symbol table the linker leaves in unstripped images; empty when stripped.
    const std::vector<Symbol>& Symbols() const { return m_Symbols; }

  private:
    struct Section {
        uint32_t va = 0, vsize = 0, rawSize = 0, rawPtr = 0;
    };

    bool Fail(std::string* error, const std::string& why);
    bool Has(uint64_t off, uint64_t len) const { return off + len <= m_Bytes.size(); }
    uint16_t U16(uint64_t off) const;
    uint32_t U32(uint64_t off) const;
    // File offset of an RVA with len bytes behind it, or -1.
    int64_t Offset(uint32_t rva, uint32_t len) const;
    bool CString(uint32_t rva, std::string* out) const;

    bool ReadExports(uint32_t rva, uint32_t size, std::string* error);
    bool ReadImports(uint32_t rva, std::string* error);
    bool ReadResourceDir(uint64_t base, uint64_t limit, uint32_t dirOff, int depth, Resource* path,
                         std::string* error);
    bool ReadResId(uint64_t base, uint64_t limit, uint32_t nameField, ResId* out) const;
    void ReadSymbols(uint32_t pointer, uint32_t count);

    std::vector<uint8_t> m_Bytes;
    std::vector<Section> m_Sections;
    uint16_t m_Machine = 0;
    uint16_t m_Characteristics = 0;
    std::vector<Export> m_Exports;
    std::vector<std::string> m_Imports;
    std::vector<Resource> m_Resources;
    std::vector<Symbol> m_Symbols;
};

}  // namespace pe
