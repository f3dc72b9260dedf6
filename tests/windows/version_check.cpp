// Reads TarvaneLink.dll's version resource back as Windows sees it, through
// GetFileVersionInfoA and VerQueryValueA, and walks the raw block for the
// order and the number of its entries; lists the module's resources to
// show the version resource is the only one. Run under Wine:
//
//   tarvane_version_check.exe DLL
//
// Prints what it read, a line per check and "N passed, N failed"; exits
// non-zero on any failure.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "checks.h"

namespace {

std::string hex(unsigned long value) {
  char text[16];
  snprintf(text, sizeof text, "0x%lX", value);
  return text;
}

struct entry {
  const char* name;
  const char* value;
};

const entry kStrings[] = {
    {"Comments", ""},
    {"CompanyName", "Tarvane"},
    {"FileDescription", "TarvaneLink"},
    {"FileVersion", "1, 0, 0, 1"},
    {"InternalName", "TarvaneLink"},
    {"LegalCopyright", "Copyright (C) 2026 Tarvane"},
    {"LegalTrademarks", ""},
    {"OriginalFilename", "TarvaneLink.dll"},
    {"PrivateBuild", ""},
    {"ProductName", "TarvaneLink"},
    {"ProductVersion", "1, 0, 0, 1"},
    {"SpecialBuild", ""},
};

void fixed_part(const void* info) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  const bool found =
      VerQueryValueA(info, "\\", reinterpret_cast<void**>(&fixed), &size) &&
      fixed != nullptr && size == sizeof(VS_FIXEDFILEINFO);
  check(found, "VerQueryValueA \\ gives the fixed part");
  if (!found) return;
  printf("fixed: signature %s, file %u.%u.%u.%u, product %u.%u.%u.%u, "
         "flags mask %s, flags %s, OS %s, type %s, subtype %s, date %s %s\n",
         hex(fixed->dwSignature).c_str(), HIWORD(fixed->dwFileVersionMS),
         LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
         LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
         LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
         LOWORD(fixed->dwProductVersionLS), hex(fixed->dwFileFlagsMask).c_str(),
         hex(fixed->dwFileFlags).c_str(), hex(fixed->dwFileOS).c_str(),
         hex(fixed->dwFileType).c_str(), hex(fixed->dwFileSubtype).c_str(),
         hex(fixed->dwFileDateMS).c_str(), hex(fixed->dwFileDateLS).c_str());
  struct field {
    const char* name;
    DWORD got, want;
  };
  const field fields[] = {
      {"signature", fixed->dwSignature, 0xFEEF04BD},
      {"file version high", fixed->dwFileVersionMS, 0x00010000},
      {"file version low", fixed->dwFileVersionLS, 0x00000001},
      {"product version high", fixed->dwProductVersionMS, 0x00010000},
      {"product version low", fixed->dwProductVersionLS, 0x00000001},
      {"flags mask", fixed->dwFileFlagsMask, 0x3F},
      {"flags", fixed->dwFileFlags, 0},
      {"operating system VOS_NT_WINDOWS32", fixed->dwFileOS, VOS_NT_WINDOWS32},
      {"file type VFT_DLL", fixed->dwFileType, VFT_DLL},
      {"subtype", fixed->dwFileSubtype, 0},
      {"date high", fixed->dwFileDateMS, 0},
      {"date low", fixed->dwFileDateLS, 0},
  };
  for (const field& f : fields) {
    check(f.got == f.want, std::string("fixed part: ") + f.name,
          hex(f.got) + ", want " + hex(f.want));
  }
}

void strings_and_translation(const void* info) {
  for (const entry& e : kStrings) {
    const std::string path = std::string("\\StringFileInfo\\040904b0\\") + e.name;
    char* value = nullptr;
    UINT size = 0;
    const bool found = VerQueryValueA(info, path.c_str(),
                                      reinterpret_cast<void**>(&value), &size);
    const std::string got = found && value != nullptr ? value : "(none)";
    printf("string: %s = \"%s\"\n", e.name, got.c_str());
    check(found && value != nullptr && got == e.value,
          std::string("string ") + e.name, "\"" + got + "\", want \"" + e.value + "\"");
  }

  WORD* translation = nullptr;
  UINT size = 0;
  const bool found = VerQueryValueA(info, "\\VarFileInfo\\Translation",
                                    reinterpret_cast<void**>(&translation),
                                    &size);
  if (found && translation != nullptr && size == 4) {
    printf("translation: %s, %u\n", hex(translation[0]).c_str(), translation[1]);
  }
  check(found && translation != nullptr && size == 4 &&
            translation[0] == 0x0409 && translation[1] == 1200,
        "translation 0x0409, 1200");
}

// ---- the raw block ------------------------------------------------------------

// One node of the block: wLength, wValueLength, wType, the key, the value
// and the children, each aligned to 4 bytes from the block's start.
struct node {
  std::wstring key;
  WORD type = 0;
  WORD value_length = 0;
  const BYTE* value = nullptr;
  std::vector<node> children;
};

size_t align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

bool parse(const BYTE* base, size_t offset, size_t limit, node* out,
           size_t* next) {
  if (offset + 6 > limit) return false;
  WORD header[3];
  memcpy(header, base + offset, sizeof header);
  const size_t end = offset + header[0];
  if (header[0] < 6 || end > limit) return false;
  out->value_length = header[1];
  out->type = header[2];
  size_t at = offset + 6;
  for (;;) {
    if (at + 2 > end) return false;
    WCHAR c;
    memcpy(&c, base + at, 2);
    at += 2;
    if (c == 0) break;
    out->key += c;
  }
  at = align4(at);
  // Text values count characters, binary ones bytes.
  const size_t value_bytes = out->type == 1 ? out->value_length * 2u
                                            : out->value_length;
  if (value_bytes > 0) {
    if (at + value_bytes > end) return false;
    out->value = base + at;
    at = align4(at + value_bytes);
  }
  while (at < end) {
    node child;
    size_t after = 0;
    if (!parse(base, at, end, &child, &after)) return false;
    out->children.push_back(child);
    at = align4(after);
  }
  *next = end;
  return true;
}

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// The text of a string entry, without its NUL.
std::string text_value(const node& n) {
  std::wstring text;
  for (WORD i = 0; i < n.value_length && n.value != nullptr; ++i) {
    WCHAR c;
    memcpy(&c, n.value + 2 * i, 2);
    if (c == 0) break;
    text += c;
  }
  return narrow(text);
}

void raw_block(const std::vector<BYTE>& info) {
  node root;
  size_t end = 0;
  const bool parsed = parse(info.data(), 0, info.size(), &root, &end);
  check(parsed, "the raw block parses");
  if (!parsed) return;
  std::string keys;
  for (const node& c : root.children) keys += " " + narrow(c.key);
  check(narrow(root.key) == "VS_VERSION_INFO" && root.value_length == 52 &&
            root.children.size() == 2 &&
            narrow(root.children[0].key) == "StringFileInfo" &&
            narrow(root.children[1].key) == "VarFileInfo",
        "the block holds the fixed part, StringFileInfo and VarFileInfo",
        narrow(root.key) + ":" + keys);
  if (root.children.size() != 2) return;

  const node& string_info = root.children[0];
  check(string_info.children.size() == 1 &&
            narrow(string_info.children[0].key) == "040904b0",
        "one string block, 040904b0");
  if (string_info.children.size() != 1) return;
  const node& table = string_info.children[0];
  std::string order;
  bool same = table.children.size() == sizeof kStrings / sizeof kStrings[0];
  for (size_t i = 0; i < table.children.size(); ++i) {
    const node& s = table.children[i];
    order += " " + narrow(s.key);
    same = same && s.type == 1 && narrow(s.key) == kStrings[i].name &&
           text_value(s) == kStrings[i].value;
  }
  check(same, "the string block holds the twelve entries in order, as text",
        order);

  const node& var_info = root.children[1];
  const bool translation =
      var_info.children.size() == 1 &&
      narrow(var_info.children[0].key) == "Translation" &&
      var_info.children[0].value_length == 4 &&
      memcmp(var_info.children[0].value, "\x09\x04\xb0\x04", 4) == 0;
  check(translation, "VarFileInfo holds only the translation 0x0409, 1200");
}

// ---- the module's resources -------------------------------------------------

struct listing {
  std::vector<std::string> items;
};

std::string resource_id(LPCSTR id) {
  if (IS_INTRESOURCE(id)) {
    return std::to_string(static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(id)));
  }
  return std::string("\"") + id + "\"";
}

BOOL CALLBACK on_language(HMODULE, LPCSTR type, LPCSTR name, WORD language,
                          LONG_PTR param) {
  reinterpret_cast<listing*>(param)->items.push_back(
      "type " + resource_id(type) + " name " + resource_id(name) +
      " language " + std::to_string(language));
  return TRUE;
}

BOOL CALLBACK on_name(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
  EnumResourceLanguagesA(module, type, name, on_language, param);
  return TRUE;
}

BOOL CALLBACK on_type(HMODULE module, LPSTR type, LONG_PTR param) {
  EnumResourceNamesA(module, type, on_name, param);
  return TRUE;
}

void only_resource(const char* path) {
  HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  check(module != nullptr, "the DLL opens as a data file");
  if (module == nullptr) return;
  listing found;
  EnumResourceTypesA(module, on_type, reinterpret_cast<LONG_PTR>(&found));
  FreeLibrary(module);
  std::string all;
  for (const std::string& item : found.items) {
    printf("resource: %s\n", item.c_str());
    all += (all.empty() ? "" : "; ") + item;
  }
  check(found.items.size() == 1 &&
            found.items[0] == "type 16 name 1 language 1033",
        "the only resource is the version resource, language 1033", all);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DLL\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &handle);
  check(size > 0, "GetFileVersionInfoSizeA", "error " + std::to_string(GetLastError()));
  if (size == 0) return 1;
  std::vector<BYTE> info(size);
  const bool read = GetFileVersionInfoA(path, 0, size, info.data());
  check(read, "GetFileVersionInfoA");
  if (!read) return 1;

  fixed_part(info.data());
  strings_and_translation(info.data());
  raw_block(info);
  only_resource(path);

  return checks_summary();
}
