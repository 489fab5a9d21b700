// The resources of cellvaro.exe as Windows reads them back: the string
// table, the icon group, the manifest, the version block, and the PE image
// itself (machine, subsystem, imports, size).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "expected_texts.h"
#include "test_support.h"

namespace {

constexpr unsigned kStringsPerBlock = 16;
constexpr WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
constexpr WORD kIconGroupId = 129;
constexpr WORD kManifestId = 1;
constexpr unsigned kIconSizes[] = {64, 48, 32, 16};
constexpr unsigned kIconBitCount = 32;
constexpr size_t kGroupHeaderSize = 6;
constexpr size_t kGroupEntrySize = 14;
constexpr size_t kBitmapInfoHeaderSize = 40;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kVersion1000High = 0x00010000;
constexpr uint32_t kVersion1000Low = 0x00000000;
constexpr WORD kUnicodeCodePage = 1200;
constexpr size_t kMaxExeSize = 300 * 1024;

// The program loaded as a data file, shared by the cases of one suite.
class ResourceTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_hModule = LoadLibraryExW(CellvaroExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() {
        if (s_hModule != nullptr) FreeLibrary(s_hModule);
        s_hModule = nullptr;
    }
    void SetUp() override { ASSERT_NE(s_hModule, nullptr) << "LoadLibraryExW failed"; }

    // The resource's bytes; empty if there is none.
    static std::vector<uint8_t> Resource(LPCWSTR type, LPCWSTR name) {
        HRSRC info = FindResourceW(s_hModule, name, type);
        if (info == nullptr) return {};
        HGLOBAL loaded = LoadResource(s_hModule, info);
        const uint8_t *p = static_cast<const uint8_t *>(LockResource(loaded));
        if (p == nullptr) return {};
        return std::vector<uint8_t>(p, p + SizeofResource(s_hModule, info));
    }

    // The string with this ID, exactly as stored (LoadStringW with a zero
    // size hands out the resource's own text and length).
    static std::wstring String(unsigned id) {
        const wchar_t *p = nullptr;
        int n = LoadStringW(s_hModule, id, reinterpret_cast<LPWSTR>(&p), 0);
        return n > 0 && p != nullptr ? std::wstring(p, static_cast<size_t>(n)) : std::wstring();
    }

    static HMODULE s_hModule;
};

HMODULE ResourceTest::s_hModule = nullptr;

std::string Hex(const std::wstring &s) {
    std::string out;
    char unit[8];
    for (wchar_t c : s) {
        std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

TEST_F(ResourceTest, StringsMatchTheirTextsCodeUnitForCodeUnit) {
    for (const EXPECTED_TEXT &expected : kExpectedTexts) {
        std::wstring actual = String(expected.id);
        EXPECT_EQ(actual, std::wstring(expected.text))
            << "string " << expected.id << "\n  actual:   " << Hex(actual)
            << "\n  expected: " << Hex(expected.text);
    }
}

TEST_F(ResourceTest, DescribedStringsLoadAndRecallNoticeHasItsFirstAndLastLine) {
    for (unsigned id : kDescribedTextIds) {
        EXPECT_FALSE(String(id).empty()) << "string " << id;
    }
    std::wstring notice = String(kRecallNoticeId);
    const std::wstring first = kRecallNoticeFirstLine;
    const std::wstring last = kRecallNoticeLastLine;
    EXPECT_EQ(notice.compare(0, first.size(), first), 0) << Hex(notice);
    ASSERT_GE(notice.size(), first.size() + last.size());
    EXPECT_EQ(notice.compare(notice.size() - last.size(), last.size(), last), 0) << Hex(notice);
    // The first line is a line of its own.
    ASSERT_GT(notice.size(), first.size());
    EXPECT_EQ(notice[first.size()], L'\n');
}

TEST_F(ResourceTest, TableHoldsOnlyIds103To118WithoutCarriageReturns) {
    for (unsigned id = kFirstTextId; id <= kLastTextId; ++id) {
        EXPECT_EQ(String(id).find(L'\r'), std::wstring::npos) << "string " << id;
    }
    // The two blocks that hold 103..118 have nothing else.
    unsigned first_in_block = kFirstTextId / kStringsPerBlock * kStringsPerBlock;
    unsigned last_in_block = (kLastTextId / kStringsPerBlock + 1) * kStringsPerBlock - 1;
    for (unsigned id = first_in_block; id <= last_in_block; ++id) {
        if (id >= kFirstTextId && id <= kLastTextId) continue;
        EXPECT_TRUE(String(id).empty()) << "unexpected string " << id;
    }
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::set<WORD> *>(param)->insert(language);
    return TRUE;
}

TEST_F(ResourceTest, StringTableIsJapanese) {
    for (unsigned block = kFirstTextId / kStringsPerBlock + 1;
         block <= kLastTextId / kStringsPerBlock + 1; ++block) {
        std::set<WORD> languages;
        EnumResourceLanguagesW(s_hModule, RT_STRING, MAKEINTRESOURCEW(block), CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&languages));
        EXPECT_EQ(languages, std::set<WORD>{kJapanese}) << "string block " << block;
    }
}

TEST_F(ResourceTest, IconGroupHolds64To16PixelImagesAt32Bpp) {
    std::vector<uint8_t> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(kIconGroupId));
    ASSERT_GE(group.size(), kGroupHeaderSize);
    EXPECT_EQ(ReadLe16(&group[0]), 0);  // reserved
    EXPECT_EQ(ReadLe16(&group[2]), 1);  // icons, not cursors
    const unsigned count = ReadLe16(&group[4]);
    ASSERT_EQ(count, std::size(kIconSizes));
    ASSERT_EQ(group.size(), kGroupHeaderSize + count * kGroupEntrySize);

    for (unsigned i = 0; i < count; ++i) {
        SCOPED_TRACE("icon entry " + std::to_string(i));
        const uint8_t *e = &group[kGroupHeaderSize + i * kGroupEntrySize];
        const unsigned size = kIconSizes[i];
        EXPECT_EQ(e[0], size);  // width
        EXPECT_EQ(e[1], size);  // height
        EXPECT_EQ(e[2], 0);     // no palette
        EXPECT_EQ(ReadLe16(e + 4), 1);  // planes
        EXPECT_EQ(ReadLe16(e + 6), kIconBitCount);
        const uint32_t bytes = ReadLe32(e + 8);
        const WORD id = ReadLe16(e + 12);

        // The image itself: a BITMAPINFOHEADER of double height (colour
        // bitmap, then AND mask), 32 bits per pixel, uncompressed.
        std::vector<uint8_t> image = Resource(RT_ICON, MAKEINTRESOURCEW(id));
        ASSERT_EQ(image.size(), bytes);
        const size_t colour_bytes = size * size * 4;
        const size_t mask_bytes = (size + 31) / 32 * 4 * size;
        ASSERT_EQ(image.size(), kBitmapInfoHeaderSize + colour_bytes + mask_bytes);
        EXPECT_EQ(ReadLe32(&image[0]), kBitmapInfoHeaderSize);
        EXPECT_EQ(ReadLe32(&image[4]), size);
        EXPECT_EQ(ReadLe32(&image[8]), 2 * size);
        EXPECT_EQ(ReadLe16(&image[12]), 1);
        EXPECT_EQ(ReadLe16(&image[14]), kIconBitCount);
        EXPECT_EQ(ReadLe32(&image[16]), static_cast<uint32_t>(BI_RGB));

        // Something is drawn on a transparent ground: the corner pixel is
        // clear, the centre is opaque (rows are stored bottom-up).
        auto alpha = [&](unsigned x, unsigned y) {
            return image[kBitmapInfoHeaderSize + ((size - 1 - y) * size + x) * 4 + 3];
        };
        EXPECT_EQ(alpha(0, 0), 0);
        EXPECT_EQ(alpha(size / 2, size / 2), 255);

        HICON icon = CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()), TRUE,
                                              0x00030000, static_cast<int>(size),
                                              static_cast<int>(size), LR_DEFAULTCOLOR);
        EXPECT_NE(icon, nullptr) << "Windows does not accept the image";
        if (icon != nullptr) DestroyIcon(icon);
    }
}

// A start tag of the manifest with its attributes and the text after it.
struct XML_ELEMENT {
    std::map<std::string, std::string> attributes;
    std::string text;
};

// Every element named tag in xml. Enough XML for a manifest: no comments
// containing tags, attribute values in double quotes.
std::vector<XML_ELEMENT> FindElements(const std::string &xml, const std::string &tag) {
    std::vector<XML_ELEMENT> found;
    const std::string open = "<" + tag;
    for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
        size_t p = at + open.size();
        if (p >= xml.size() || !(xml[p] == ' ' || xml[p] == '\t' || xml[p] == '\r' ||
                                 xml[p] == '\n' || xml[p] == '>' || xml[p] == '/')) {
            continue;
        }
        XML_ELEMENT element;
        while (p < xml.size() && xml[p] != '>') {
            size_t eq = xml.find('=', p);
            size_t end_tag = xml.find('>', p);
            if (eq == std::string::npos || eq > end_tag) {
                p = end_tag;
                break;
            }
            size_t name_begin = xml.find_first_not_of(" \t\r\n", p);
            std::string name = xml.substr(name_begin, eq - name_begin);
            size_t q1 = xml.find('"', eq);
            size_t q2 = xml.find('"', q1 + 1);
            if (q1 == std::string::npos || q2 == std::string::npos) break;
            element.attributes[name] = xml.substr(q1 + 1, q2 - q1 - 1);
            p = q2 + 1;
        }
        if (p < xml.size()) {
            size_t text_end = xml.find('<', p + 1);
            element.text = xml.substr(p + 1, text_end == std::string::npos ? 0 : text_end - p - 1);
        }
        found.push_back(element);
    }
    return found;
}

TEST_F(ResourceTest, ManifestDeclaresCommonControlsAsInvokerAndPerMonitorDpi) {
    std::vector<uint8_t> bytes = Resource(RT_MANIFEST, MAKEINTRESOURCEW(kManifestId));
    ASSERT_FALSE(bytes.empty()) << "no manifest resource 1";
    const std::string xml(bytes.begin(), bytes.end());

    bool common_controls = false;
    for (const XML_ELEMENT &e : FindElements(xml, "assemblyIdentity")) {
        auto a = e.attributes;
        if (a["name"] != "Microsoft.Windows.Common-Controls") continue;
        common_controls = true;
        EXPECT_EQ(a["type"], "win32");
        EXPECT_EQ(a["version"], "6.0.0.0");
        EXPECT_EQ(a["processorArchitecture"], "x86");
        EXPECT_EQ(a["publicKeyToken"], "6595b64144ccf1df");
        EXPECT_EQ(a["language"], "*");
    }
    EXPECT_TRUE(common_controls) << "no dependency on the common controls";
    EXPECT_NE(xml.find("<dependentAssembly>"), std::string::npos);

    auto level = FindElements(xml, "requestedExecutionLevel");
    ASSERT_EQ(level.size(), 1u);
    EXPECT_EQ(level[0].attributes["level"], "asInvoker");
    EXPECT_EQ(level[0].attributes["uiAccess"], "false");

    auto dpi = FindElements(xml, "dpiAware");
    ASSERT_EQ(dpi.size(), 1u);
    EXPECT_EQ(dpi[0].text, "True/PM");
    EXPECT_EQ(dpi[0].attributes["xmlns"], "http://schemas.microsoft.com/SMI/2005/WindowsSettings");

    // The loader's own reading: the activation context builds (so the
    // dependency resolves) and reports the same settings.
    ACTCTXW actctx = {};
    actctx.cbSize = sizeof actctx;
    actctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    actctx.lpSource = CellvaroExePath().c_str();
    actctx.lpResourceName = MAKEINTRESOURCEW(kManifestId);
    HANDLE context = CreateActCtxW(&actctx);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "CreateActCtxW failed, error " << GetLastError();

    wchar_t setting[64] = {};
    SIZE_T written = 0;
    EXPECT_TRUE(QueryActCtxSettingsW(0, context,
                                     L"http://schemas.microsoft.com/SMI/2005/WindowsSettings",
                                     L"dpiAware", setting, std::size(setting), &written))
        << "error " << GetLastError();
    EXPECT_EQ(std::wstring(setting), L"True/PM");

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run_level = {};
    EXPECT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext,
                             &run_level, sizeof run_level, &written))
        << "error " << GetLastError();
    EXPECT_EQ(run_level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(run_level.UiAccess, 0u);
    ReleaseActCtx(context);
}

TEST(VersionInfo, ReadsBackAsVersion1JapaneseUnicode) {
    const std::wstring &path = CellvaroExePath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    void *p = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &p, &length));
    ASSERT_GE(length, 24u);
    const uint8_t *fixed = static_cast<const uint8_t *>(p);
    EXPECT_EQ(ReadLe32(fixed + 0), kFixedFileInfoSignature);
    EXPECT_EQ(ReadLe32(fixed + 8), kVersion1000High);   // file version 1.0
    EXPECT_EQ(ReadLe32(fixed + 12), kVersion1000Low);   // .0.0
    EXPECT_EQ(ReadLe32(fixed + 16), kVersion1000High);  // product version
    EXPECT_EQ(ReadLe32(fixed + 20), kVersion1000Low);

    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &p, &length));
    ASSERT_EQ(length, 4u);
    const uint8_t *translation = static_cast<const uint8_t *>(p);
    EXPECT_EQ(ReadLe16(translation), kJapanese);
    EXPECT_EQ(ReadLe16(translation + 2), kUnicodeCodePage);

    const struct {
        const wchar_t *name;
        const wchar_t *value;
    } kValues[] = {
        {L"CompanyName", L"Veltrano Corporation"},
        {L"ProductName", L"Cellvaro"},
        {L"FileVersion", L"1.0.0.0"},
        {L"ProductVersion", L"1.0.0.0"},
        {L"OriginalFilename", L"cellvaro.exe"},
        // Japanese, to show the version block decodes UTF-8 as well.
        {L"FileDescription", L"バッテリーパック リコール対象確認ユーティリティ"},
    };
    for (const auto &v : kValues) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\041104b0\\") + v.name;
        wchar_t *text = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void **>(&text),
                                   &length))
            << "no value " << testing::PrintToString(std::wstring(v.name));
        // length counts the terminating NUL.
        EXPECT_EQ(std::wstring(text), v.value);
    }
}

struct PE_FACTS {
    uint16_t machine = 0;
    uint16_t magic = 0;
    uint16_t subsystem = 0;
};

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemGui = 2;
constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kOptionalSubsystemOffset = 68;
constexpr size_t kOptionalDataDirectoryOffset = 96;
constexpr size_t kDataDirectoryImport = 1;
constexpr size_t kDataDirectoryDelayImport = 13;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;

// Bounds-checked reads of the image; false on the first read past its end.
class CPeReader {
public:
    explicit CPeReader(const std::vector<uint8_t> &data) : _data(data) {}
    bool Le16(size_t at, uint16_t *v) const {
        if (at + 2 > _data.size()) return false;
        *v = ReadLe16(&_data[at]);
        return true;
    }
    bool Le32(size_t at, uint32_t *v) const {
        if (at + 4 > _data.size()) return false;
        *v = ReadLe32(&_data[at]);
        return true;
    }
    bool CString(size_t at, std::string *s) const {
        s->clear();
        for (; at < _data.size(); ++at) {
            if (_data[at] == 0) return true;
            s->push_back(static_cast<char>(_data[at]));
        }
        return false;
    }

private:
    const std::vector<uint8_t> &_data;
};

struct SECTION {
    uint32_t virtual_address, virtual_size, raw_offset, raw_size;
};

bool RvaToOffset(const std::vector<SECTION> &sections, uint32_t rva, size_t *offset) {
    for (const SECTION &s : sections) {
        uint32_t span = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
        if (rva >= s.virtual_address && rva - s.virtual_address < span) {
            *offset = s.raw_offset + (rva - s.virtual_address);
            return true;
        }
    }
    return false;
}

// The machine, optional-header magic and subsystem of a PE image, the DLLs
// named in its import directory and the size of its delay-import directory;
// fills *error instead when the image does not parse.
bool ParsePe(const std::vector<uint8_t> &pe, PE_FACTS *facts, std::vector<std::string> *dlls,
             uint32_t *delay_import_size, std::string *error) {
    CPeReader r(pe);
    uint16_t mz = 0;
    uint32_t lfanew = 0, signature = 0;
    if (!r.Le16(0, &mz) || mz != 0x5A4D || !r.Le32(kDosLfanewOffset, &lfanew) ||
        !r.Le32(lfanew, &signature) || signature != 0x00004550) {
        *error = "no PE signature";
        return false;
    }
    const size_t coff = lfanew + 4;
    uint16_t sections_count = 0, optional_size = 0;
    if (!r.Le16(coff, &facts->machine) || !r.Le16(coff + 2, &sections_count) ||
        !r.Le16(coff + 16, &optional_size)) {
        *error = "short COFF header";
        return false;
    }
    const size_t optional = coff + kCoffHeaderSize;
    uint32_t import_rva = 0;
    if (!r.Le16(optional, &facts->magic) ||
        !r.Le16(optional + kOptionalSubsystemOffset, &facts->subsystem) ||
        !r.Le32(optional + kOptionalDataDirectoryOffset + 8 * kDataDirectoryImport, &import_rva) ||
        !r.Le32(optional + kOptionalDataDirectoryOffset + 8 * kDataDirectoryDelayImport + 4,
                delay_import_size)) {
        *error = "short optional header";
        return false;
    }
    std::vector<SECTION> sections;
    const size_t table = optional + optional_size;
    for (size_t i = 0; i < sections_count; ++i) {
        SECTION s = {};
        size_t h = table + i * kSectionHeaderSize;
        if (!r.Le32(h + 8, &s.virtual_size) || !r.Le32(h + 12, &s.virtual_address) ||
            !r.Le32(h + 16, &s.raw_size) || !r.Le32(h + 20, &s.raw_offset)) {
            *error = "short section table";
            return false;
        }
        sections.push_back(s);
    }
    size_t descriptor = 0;
    if (!RvaToOffset(sections, import_rva, &descriptor)) {
        *error = "import directory outside every section";
        return false;
    }
    for (;; descriptor += kImportDescriptorSize) {
        uint32_t lookup = 0, name_rva = 0, thunks = 0;
        if (!r.Le32(descriptor, &lookup) || !r.Le32(descriptor + 12, &name_rva) ||
            !r.Le32(descriptor + 16, &thunks)) {
            *error = "import directory runs past the file";
            return false;
        }
        if (lookup == 0 && name_rva == 0 && thunks == 0) break;
        size_t name_at = 0;
        std::string name;
        if (!RvaToOffset(sections, name_rva, &name_at) || !r.CString(name_at, &name)) {
            *error = "bad DLL name";
            return false;
        }
        dlls->push_back(name);
    }
    return true;
}

TEST(Executable, IsPe32GuiForI386ImportingOnlySystemDlls) {
    std::vector<uint8_t> pe = ReadWholeFile(CellvaroExePath());
    ASSERT_FALSE(pe.empty());
    std::printf("cellvaro.exe: %zu bytes (%.1f KiB)\n", pe.size(), pe.size() / 1024.0);
    EXPECT_LE(pe.size(), kMaxExeSize);

    PE_FACTS facts;
    std::vector<std::string> dlls;
    uint32_t delay_import_size = 0;
    std::string error;
    ASSERT_TRUE(ParsePe(pe, &facts, &dlls, &delay_import_size, &error)) << error;
    EXPECT_EQ(facts.machine, kMachineI386);
    EXPECT_EQ(facts.magic, kMagicPe32);
    EXPECT_EQ(facts.subsystem, kSubsystemGui);
    EXPECT_EQ(delay_import_size, 0u) << "delay-loaded imports";
    ASSERT_FALSE(dlls.empty());

    // Windows' own DLLs are the ones in its system directory; a runtime
    // DLL of the compiler (libstdc++, libgcc, winpthread) is not there.
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    std::string listed;
    for (const std::string &dll : dlls) {
        listed += dll + " ";
        std::wstring path = std::wstring(system) + L"\\" + std::wstring(dll.begin(), dll.end());
        EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES)
            << dll << " is not a system DLL";
        EXPECT_NE(dll.rfind("lib", 0), 0u) << dll << " looks like a compiler runtime DLL";
    }
    std::printf("cellvaro.exe imports: %s\n", listed.c_str());
}

} // namespace
