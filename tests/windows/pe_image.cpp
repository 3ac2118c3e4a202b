#include "tests/windows/pe_image.h"

#include <fstream>
#include <iterator>

namespace pe {

namespace {
constexpr uint32_t kDirExport = 0;
constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirResource = 2;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr int kResourceLevels = 3;  // type, name, language
constexpr uint32_t kMaxEntries = 4096;
}  // namespace

bool Image::Fail(std::string* error, const std::string& why) {
    if (error != nullptr) {
        *error = why;
    }
    return false;
}

uint16_t Image::U16(uint64_t off) const {
    return Has(off, 2) ? static_cast<uint16_t>(m_Bytes[off] | m_Bytes[off + 1] << 8) : 0;
}

uint32_t Image::U32(uint64_t off) const {
    return Has(off, 4) ? static_cast<uint32_t>(U16(off)) | static_cast<uint32_t>(U16(off + 2)) << 16
                       : 0;
}

int64_t Image::Offset(uint32_t rva, uint32_t len) const {
    for (const Section& s : m_Sections) {
        const uint32_t span = s.vsize > s.rawSize ? s.vsize : s.rawSize;
        if (rva >= s.va && uint64_t{rva} + len <= uint64_t{s.va} + span) {
            const uint64_t off = uint64_t{s.rawPtr} + (rva - s.va);
            // Bytes past the raw data are zero-fill in memory and absent from the file.
            if (uint64_t{rva} + len > uint64_t{s.va} + s.rawSize || !Has(off, len)) {
                return -1;
            }
            return static_cast<int64_t>(off);
        }
    }
    return -1;
}

bool Image::CString(uint32_t rva, std::string* out) const {
    const int64_t off = Offset(rva, 1);
    if (off < 0) {
        return false;
    }
    out->clear();
    for (uint64_t i = static_cast<uint64_t>(off); i < m_Bytes.size(); ++i) {
        if (m_Bytes[i] == 0) {
            return true;
        }
        out->push_back(static_cast<char>(m_Bytes[i]));
    }
    return false;
}

bool Image::Load(const std::string& path, std::string* error) {
    *this = Image{};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Fail(error, "cannot open " + path);
    }
    m_Bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!Has(0, 0x40) || m_Bytes[0] != 'M' || m_Bytes[1] != 'Z') {
        return Fail(error, "no MZ header");
    }
    const uint32_t peOff = U32(0x3C);
    if (!Has(peOff, 24) || U32(peOff) != 0x00004550u) {
        return Fail(error, "no PE signature");
    }
    const uint64_t fileHdr = peOff + 4;
    m_Machine = U16(fileHdr);
    const uint16_t nSections = U16(fileHdr + 2);
    const uint32_t symPtr = U32(fileHdr + 8);
    const uint32_t symCount = U32(fileHdr + 12);
    const uint16_t optSize = U16(fileHdr + 16);
    m_Characteristics = U16(fileHdr + 18);

    const uint64_t opt = fileHdr + 20;
    if (!Has(opt, optSize) || optSize < 2) {
        return Fail(error, "optional header truncated");
    }
    const uint16_t magic = U16(opt);
    uint64_t dirCountOff = 0;
    if (magic == 0x10B) {
        dirCountOff = opt + 92;
    } else if (magic == 0x20B) {
        dirCountOff = opt + 108;
    } else {
        return Fail(error, "unknown optional header magic");
    }
    const uint32_t nDirs = U32(dirCountOff);
    if (dirCountOff + 4 + uint64_t{nDirs} * 8 > opt + optSize) {
        return Fail(error, "data directories truncated");
    }
    auto dir = [&](uint32_t i, uint32_t* rva, uint32_t* size) {
        *rva = i < nDirs ? U32(dirCountOff + 4 + i * 8) : 0;
        *size = i < nDirs ? U32(dirCountOff + 8 + i * 8) : 0;
    };

    const uint64_t secs = opt + optSize;
    if (!Has(secs, uint64_t{nSections} * 40)) {
        return Fail(error, "section table truncated");
    }
    for (uint16_t i = 0; i < nSections; ++i) {
        const uint64_t s = secs + uint64_t{i} * 40;
        m_Sections.push_back(Section{U32(s + 12), U32(s + 8), U32(s + 16), U32(s + 20)});
    }

    uint32_t rva = 0;
    uint32_t size = 0;
    dir(kDirExport, &rva, &size);
    if (rva != 0 && !ReadExports(rva, size, error)) {
        return false;
    }
    dir(kDirImport, &rva, &size);
    if (rva != 0 && !ReadImports(rva, error)) {
        return false;
    }
    dir(kDirResource, &rva, &size);
    if (rva != 0) {
        const int64_t base = Offset(rva, size);
        if (base < 0) {
            return Fail(error, "resource directory outside the image");
        }
        Resource path;
        if (!ReadResourceDir(static_cast<uint64_t>(base), static_cast<uint64_t>(base) + size, 0, 0,
                             &path, error)) {
            return false;
        }
    }
    ReadSymbols(symPtr, symCount);
    return true;
}

bool Image::ReadExports(uint32_t rva, uint32_t size, std::string* error) {
    const int64_t d = Offset(rva, 40);
    if (d < 0) {
        return Fail(error, "export directory outside the image");
    }
    const uint32_t nFunctions = U32(d + 20);
    const uint32_t nNames = U32(d + 24);
    if (nNames > kMaxEntries || nFunctions > kMaxEntries) {
        return Fail(error, "implausible export counts");
    }
    const int64_t funcs = Offset(U32(d + 28), nFunctions * 4);
    const int64_t names = Offset(U32(d + 32), nNames * 4);
    const int64_t ords = Offset(U32(d + 36), nNames * 2);
    if (nNames > 0 && (funcs < 0 || names < 0 || ords < 0)) {
        return Fail(error, "export tables outside the image");
    }
    for (uint32_t i = 0; i < nNames; ++i) {
        Export e;
        const uint16_t ord = U16(ords + i * 2);
        if (ord >= nFunctions || !CString(U32(names + i * 4), &e.name)) {
            return Fail(error, "bad export entry");
        }
        e.rva = U32(funcs + ord * 4);
        // A forwarder points back into the export directory; a real entry point does not.
        if (e.rva >= rva && e.rva < rva + size) {
            e.name += " (forwarded)";
        }
        m_Exports.push_back(e);
    }
    return true;
}

bool Image::ReadImports(uint32_t rva, std::string* error) {
    for (uint32_t i = 0; i < kMaxEntries; ++i) {
        const int64_t d = Offset(rva + i * 20, 20);
        if (d < 0) {
            return Fail(error, "import directory outside the image");
        }
        const uint32_t nameRva = U32(d + 12);
        if (nameRva == 0 && U32(d + 16) == 0) {
            return true;
        }
        std::string name;
        if (!CString(nameRva, &name)) {
            return Fail(error, "bad import name");
        }
        m_Imports.push_back(name);
    }
    return Fail(error, "import directory never ends");
}

bool Image::ReadResId(uint64_t base, uint64_t limit, uint32_t nameField, ResId* out) const {
    *out = ResId{};
    if ((nameField & kHighBit) == 0) {
        out->id = static_cast<uint16_t>(nameField);
        return nameField <= 0xFFFF;
    }
    const uint64_t off = base + (nameField & ~kHighBit);
    if (off + 2 > limit) {
        return false;
    }
    const uint16_t len = U16(off);
    if (off + 2 + uint64_t{len} * 2 > limit) {
        return false;
    }
    out->isString = true;
    for (uint16_t i = 0; i < len; ++i) {
        const uint16_t c = U16(off + 2 + i * 2);
        out->name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return true;
}

bool Image::ReadResourceDir(uint64_t base, uint64_t limit, uint32_t dirOff, int depth,
                            Resource* path, std::string* error) {
    const uint64_t d = base + dirOff;
    if (depth >= kResourceLevels || d + 16 > limit) {
        return Fail(error, "resource directory malformed");
    }
    const uint32_t n = uint32_t{U16(d + 12)} + U16(d + 14);
    if (n > kMaxEntries || d + 16 + uint64_t{n} * 8 > limit) {
        return Fail(error, "resource directory entries truncated");
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t e = d + 16 + uint64_t{i} * 8;
        ResId key;
        if (!ReadResId(base, limit, U32(e), &key)) {
            return Fail(error, "bad resource name");
        }
        const uint32_t target = U32(e + 4);
        if (depth == 0) {
            path->type = key;
        } else if (depth == 1) {
            path->name = key;
        } else {
            path->language = key.id;
        }
        if ((target & kHighBit) != 0) {
            if (!ReadResourceDir(base, limit, target & ~kHighBit, depth + 1, path, error)) {
                return false;
            }
            continue;
        }
        if (depth != kResourceLevels - 1 || base + target + 16 > limit) {
            return Fail(error, "resource data entry at the wrong level");
        }
        const uint32_t dataRva = U32(base + target);
        const uint32_t dataSize = U32(base + target + 4);
        const int64_t off = Offset(dataRva, dataSize);
        if (off < 0) {
            return Fail(error, "resource data outside the image");
        }
        Resource r = *path;
        r.data.assign(m_Bytes.begin() + off, m_Bytes.begin() + off + dataSize);
        m_Resources.push_back(std::move(r));
    }
    return true;
}

void Image::ReadSymbols(uint32_t pointer, uint32_t count) {
    if (pointer == 0 || count == 0 || !Has(pointer, uint64_t{count} * 18)) {
        return;
    }
    const uint64_t strings = pointer + uint64_t{count} * 18;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t s = pointer + uint64_t{i} * 18;
        const int16_t section = static_cast<int16_t>(U16(s + 12));
        const uint8_t aux = m_Bytes[s + 17];
        Symbol sym;
        if (U32(s) == 0) {
            for (uint64_t p = strings + U32(s + 4); p < m_Bytes.size() && m_Bytes[p] != 0; ++p) {
                sym.name.push_back(static_cast<char>(m_Bytes[p]));
            }
        } else {
            for (int k = 0; k < 8 && m_Bytes[s + k] != 0; ++k) {
                sym.name.push_back(static_cast<char>(m_Bytes[s + k]));
            }
        }
        if (section > 0 && static_cast<size_t>(section) <= m_Sections.size()) {
            sym.rva = m_Sections[section - 1].va + U32(s + 8);
            m_Symbols.push_back(sym);
        }
        i += aux;
    }
}

}  // namespace pe
