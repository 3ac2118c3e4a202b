// Checks a cross-built Windows module by reading its PE image: the 32-bit one cannot run on
// these machines, so this is what proves it. CTest runs it once per module, naming the file,
// its machine and the folder of committed bitmaps:
//   pe_check_tests --dll=PATH --machine=i386|amd64 --res=DIR --compiler=NAME
// It skips only when the cross compiler NAME is not on PATH: without it there is no module.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/panel_bitmaps.h"
#include "tests/windows/pe_image.h"

namespace {

constexpr uint16_t kRtBitmap = 2;
constexpr uint16_t kRtVersion = 16;
constexpr uint16_t kRtManifest = 24;
constexpr uint16_t kLangChinesePrc = 2052;

struct Options {
    std::string dll;
    std::string machine;
    std::string res;
    std::string compiler;
};
Options g_Options;

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string file = dirs.substr(start, end - start) + "/" + program;
        if (!program.empty() && access(file.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

uint32_t U32(const std::vector<uint8_t>& d, size_t off) {
    return off + 4 <= d.size() ? static_cast<uint32_t>(d[off] | d[off + 1] << 8 | d[off + 2] << 16 |
                                                       uint32_t{d[off + 3]} << 24)
                               : 0;
}

uint16_t U16(const std::vector<uint8_t>& d, size_t off) {
    return off + 2 <= d.size() ? static_cast<uint16_t>(d[off] | d[off + 1] << 8) : 0;
}

class PeCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!OnPath(g_Options.compiler)) {
            GTEST_SKIP() << "no cross compiler " << g_Options.compiler
                         << " (scripts/install-deps windows)";
        }
        m_Path = g_Options.dll;
        m_Machine = g_Options.machine;
        ASSERT_FALSE(m_Path.empty()) << "no --dll";
        std::string error;
        ASSERT_TRUE(m_Image.Load(m_Path, &error))
            << m_Path << ": " << error << " (is the cross build done? `make windows`)";
    }

    const pe::Resource* Find(uint16_t type, const std::string& name, uint16_t lang) const {
        for (const pe::Resource& r : m_Image.Resources()) {
            if (!r.type.isString && r.type.id == type && r.name.Text() == name &&
                r.language == lang) {
                return &r;
            }
        }
        return nullptr;
    }

    bool IsX86() const { return m_Machine == "i386"; }

    std::string m_Path;
    std::string m_Machine;
    pe::Image m_Image;
};

TEST_F(PeCheck, MachineMatchesTheBuildAndTheImageIsADll) {
    ASSERT_TRUE(m_Machine == "i386" || m_Machine == "amd64") << "--machine";
    EXPECT_EQ(m_Image.Machine(), IsX86() ? pe::kMachineI386 : pe::kMachineAmd64);
    EXPECT_NE(m_Image.Characteristics() & pe::kFileDll, 0);
}

TEST_F(PeCheck, ExportsExactlyMainUndecorated) {
    ASSERT_EQ(m_Image.Exports().size(), 1u);
    EXPECT_EQ(m_Image.Exports()[0].name, "Main");
    EXPECT_NE(m_Image.Exports()[0].rva, 0u);
}

// On x86 the host calls Main as __stdcall: the compiler decorates such a function with the
// bytes its callee pops, so the export must land on _Main@12, not on a cdecl _Main.
TEST_F(PeCheck, ExportIsMainWithTheHostsCallingConvention) {
    ASSERT_EQ(m_Image.Exports().size(), 1u);
    ASSERT_FALSE(m_Image.Symbols().empty()) << "the module is stripped; nothing to check against";
    const uint32_t rva = m_Image.Exports()[0].rva;
    const std::string want = IsX86() ? "_Main@12" : "Main";
    bool found = false;
    for (const pe::Symbol& s : m_Image.Symbols()) {
        if (s.name == want) {
            found = true;
            EXPECT_EQ(s.rva, rva) << want << " is not what the export points at";
        }
        if (IsX86()) {
            // Any other decoration would mean another convention or argument size; the
            // compiler's split-off parts (".cold") keep the function's own decoration.
            const std::string base = s.name.substr(0, s.name.find('.'));
            EXPECT_TRUE(base.rfind("_Main@", 0) != 0 || base == "_Main@12") << s.name;
        }
    }
    EXPECT_TRUE(found) << "no symbol " << want;
}

TEST_F(PeCheck, ImportsOnlySystemDlls) {
    const std::vector<std::string>& dlls = m_Image.ImportedDlls();
    ASSERT_FALSE(dlls.empty());
    bool kernel32 = false;
    for (const std::string& dll : dlls) {
        const std::string d = Lower(dll);
        kernel32 = kernel32 || d == "kernel32.dll";
        const bool system = d == "kernel32.dll" || d == "msvcrt.dll" || d == "ucrtbase.dll" ||
                            d.rfind("api-ms-win-", 0) == 0;
        EXPECT_TRUE(system) << dll << " is not part of Windows; link it statically";
    }
    EXPECT_TRUE(kernel32);
}

TEST_F(PeCheck, EveryBitmapIsThereInChineseWithItsSizeAndDepth) {
    for (const testing_support::PanelBitmapSpec& b : testing_support::kPanelBitmaps) {
        const std::string key = testing_support::ResourceKey(b.stem);
        SCOPED_TRACE(key);
        const pe::Resource* r = Find(kRtBitmap, key, kLangChinesePrc);
        ASSERT_NE(r, nullptr) << "no bitmap " << key << " in language 2052";
        const std::vector<uint8_t>& d = r->data;
        ASSERT_GE(d.size(), 40u);
        EXPECT_EQ(U32(d, 0), 40u) << "BITMAPINFOHEADER";
        EXPECT_EQ(static_cast<int32_t>(U32(d, 4)), b.width);
        EXPECT_EQ(static_cast<int32_t>(U32(d, 8)), b.height) << "positive: bottom-up";
        EXPECT_EQ(U16(d, 12), 1);
        EXPECT_EQ(U16(d, 14), b.bits);
        EXPECT_EQ(U32(d, 16), 0u) << "BI_RGB";
        const size_t stride = ((static_cast<size_t>(b.width) * b.bits + 31) / 32) * 4;
        const size_t colours = b.bits <= 8 ? (U32(d, 32) != 0 ? U32(d, 32) : 1u << b.bits) : 0;
        EXPECT_GE(d.size(), 40 + colours * 4 + stride * b.height) << "pixels truncated";
    }
}

// The resource is the committed file less its 14-byte file header, so what the host draws is
// what the artwork tool drew.
TEST_F(PeCheck, BitmapsAreTheCommittedFiles) {
    const std::string& dir = g_Options.res;
    ASSERT_FALSE(dir.empty()) << "no --res";
    for (const testing_support::PanelBitmapSpec& b : testing_support::kPanelBitmaps) {
        const std::string key = testing_support::ResourceKey(b.stem);
        SCOPED_TRACE(key);
        const std::string file = dir + "/" + b.stem + ".bmp";
        std::ifstream in(file, std::ios::binary);
        ASSERT_TRUE(in) << file;
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        ASSERT_GT(bytes.size(), 14u);
        const pe::Resource* r = Find(kRtBitmap, key, kLangChinesePrc);
        ASSERT_NE(r, nullptr);
        EXPECT_TRUE(r->data == std::vector<uint8_t>(bytes.begin() + 14, bytes.end()));
    }
}

TEST_F(PeCheck, VersionIs1001ForADll) {
    const pe::Resource* v = nullptr;
    for (const pe::Resource& r : m_Image.Resources()) {
        if (!r.type.isString && r.type.id == kRtVersion) {
            ASSERT_EQ(v, nullptr) << "more than one version resource";
            v = &r;
        }
    }
    ASSERT_NE(v, nullptr) << "no VERSIONINFO";
    const std::vector<uint8_t>& d = v->data;
    const char16_t key[] = u"VS_VERSION_INFO";
    ASSERT_GE(d.size(), 6 + sizeof key);
    for (size_t i = 0; i < sizeof key / 2; ++i) {
        ASSERT_EQ(U16(d, 6 + i * 2), key[i]) << "not a VS_VERSIONINFO block";
    }
    // VS_FIXEDFILEINFO follows the key, aligned to 4 bytes.
    const size_t f = (6 + sizeof key + 3) & ~size_t{3};
    ASSERT_EQ(U32(d, f), 0xFEEF04BDu) << "VS_FIXEDFILEINFO signature";
    EXPECT_EQ(U32(d, f + 8), 0x00010000u) << "file version 1.0";
    EXPECT_EQ(U32(d, f + 12), 0x00000001u) << "file version .0.1";
    EXPECT_EQ(U32(d, f + 16), 0x00010000u) << "product version 1.0";
    EXPECT_EQ(U32(d, f + 20), 0x00000001u) << "product version .0.1";
    EXPECT_EQ(U32(d, f + 36), 2u) << "VFT_DLL";
}

// A manifest that binds a runtime the module does not use stops it loading wherever that
// runtime is missing; ours links its runtime in and must bind nothing.
TEST_F(PeCheck, ManifestBindsNoOtherAssembly) {
    const pe::Resource* m = nullptr;
    for (const pe::Resource& r : m_Image.Resources()) {
        if (!r.type.isString && r.type.id == kRtManifest) {
            m = &r;
        }
    }
    ASSERT_NE(m, nullptr) << "no manifest";
    EXPECT_EQ(m->name.Text(), "#2") << "a DLL's manifest sits under ID 2";
    const std::string text(m->data.begin(), m->data.end());
    EXPECT_NE(text.find("<assembly"), std::string::npos);
    EXPECT_EQ(text.find("dependentAssembly"), std::string::npos) << text;
    EXPECT_EQ(Lower(text).find("microsoft.vc"), std::string::npos) << text;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* key, std::string* out) {
            const size_t n = std::strlen(key);
            if (a.compare(0, n, key) == 0) {
                *out = a.substr(n);
            }
        };
        value("--dll=", &g_Options.dll);
        value("--machine=", &g_Options.machine);
        value("--res=", &g_Options.res);
        value("--compiler=", &g_Options.compiler);
    }
    return RUN_ALL_TESTS();
}
