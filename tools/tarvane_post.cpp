// tarvane-post: a command-line host for the TarvaneLink library. It loads
// the library, lends it memory and variable access through services of its
// own, posts the fields given on the command line to a gateway URL and
// prints the result variables.
//
// Built for Linux and for 32-bit Windows with mingw-w64, where it must need
// nothing but KERNEL32 and msvcrt at run time: plain C-style code, stdio and
// malloc only, no C++ runtime.

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// --- platform: the only place where Linux and Windows differ ---------------

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#define HOST_SERVICE extern "C" __declspec(dllexport)
#define LIBRARY_FILE "TarvaneLink.dll"
#define CURRENT_DIR ".\\"

static bool is_dir_separator(char c) { return c == '\\' || c == '/'; }

static bool executable_path(char* out, size_t size) {
  DWORD n = GetModuleFileNameA(NULL, out, (DWORD)size);
  return n > 0 && n < size;
}

static void* open_library(const char* path, char* why, size_t why_size) {
  // A missing dependency must come back as an error, not as a dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryA(path);
  if (module == NULL) {
    DWORD code = GetLastError();
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   NULL, code, 0, text, sizeof text, NULL);
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' ||
                     text[n - 1] == ' ' || text[n - 1] == '.'))
      text[--n] = '\0';
    snprintf(why, why_size, "Windows error %lu%s%s", (unsigned long)code,
             n > 0 ? ": " : "", text);
  }
  return (void*)module;
}

static void* library_symbol(void* library, const char* name) {
  return (void*)GetProcAddress((HMODULE)library, name);
}

// The module whose exports are the host services: this executable.
static void* host_module(void) { return (void*)GetModuleHandleA(NULL); }

#else
#include <dlfcn.h>
#include <unistd.h>

#define HOST_SERVICE extern "C" __attribute__((visibility("default")))
#define LIBRARY_FILE "TarvaneLink.so"
#define CURRENT_DIR "./"

static bool is_dir_separator(char c) { return c == '/'; }

static bool executable_path(char* out, size_t size) {
  ssize_t n = readlink("/proc/self/exe", out, size);
  if (n <= 0 || (size_t)n >= size) return false;
  out[n] = '\0';
  return true;
}

static void* open_library(const char* path, char* why, size_t why_size) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    const char* text = dlerror();
    snprintf(why, why_size, "%s", text != NULL ? text : "dlopen failed");
  }
  return library;
}

static void* library_symbol(void* library, const char* name) {
  return dlsym(library, name);
}

// The module whose exports are the host services: this executable, linked
// so that its service symbols are in its dynamic symbol table.
static void* host_module(void) { return dlopen(NULL, RTLD_NOW); }
#endif

// --- the library's exports ---------------------------------------------------

typedef int (*commerce_init_fn)(void* a1, void** library_data, void* a3,
                                const char* url, void* field_list,
                                void* result_tree);
typedef const char* (*commerce_error_fn)(void* a1, void** library_data);
typedef void (*commerce_cleanup_fn)(void* a1, void** library_data);
typedef void (*register_library_fn)(void* module);

// --- host data -------------------------------------------------------------

struct field {
  const char* name;
  const char* value;
};

// The variable list that is posted: the fields from the command line.
struct field_list {
  field* fields;
  int count;
};

struct result_variable {
  char* name;
  char* value;
};

// The result tree: every variable the library set, in the order set.
struct result_tree {
  result_variable* variables;
  int count;
  int capacity;
};

static const char kProgram[] = "tarvane-post";

static void out_of_memory(void) {
  fprintf(stderr, "%s: out of memory\n", kProgram);
  exit(2);
}

static void* must_alloc(size_t size) {
  void* block = malloc(size > 0 ? size : 1);
  if (block == NULL) out_of_memory();
  return block;
}

static char* copy_text(const char* text) {
  size_t n = strlen(text);
  char* copy = (char*)must_alloc(n + 1);
  memcpy(copy, text, n + 1);
  return copy;
}

// Texts rendered by miva_variablelist_to_url: the library reads them and
// never releases them, so they stay until the program ends.
static char** renderings;
static int rendering_count;

static void keep_rendering(char* text) {
  char** grown = (char**)realloc(
      renderings, (size_t)(rendering_count + 1) * sizeof *renderings);
  if (grown == NULL) out_of_memory();
  renderings = grown;
  renderings[rendering_count++] = text;
}

static void release_renderings(void) {
  for (int i = 0; i < rendering_count; ++i) free(renderings[i]);
  free(renderings);
  renderings = NULL;
  rendering_count = 0;
}

// --- host services, exported by name for the library to look up -------------

HOST_SERVICE void* miva_alloc(int32_t size) {
  return must_alloc(size > 0 ? (size_t)size : 1);
}

HOST_SERVICE void miva_free(void* block) { free(block); }

// Bytes kept as they are in application/x-www-form-urlencoded (the HTML
// form set); space becomes '+', every other byte %XX.
static bool form_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '*' || c == '-' || c == '.' ||
         c == '_';
}

static size_t form_encoded_length(const char* text) {
  size_t n = 0;
  for (const unsigned char* p = (const unsigned char*)text; *p; ++p)
    n += (form_unreserved(*p) || *p == ' ') ? 1 : 3;
  return n;
}

static char* form_encode(char* out, const char* text) {
  static const char hex[] = "0123456789ABCDEF";
  for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
    if (form_unreserved(*p)) {
      *out++ = (char)*p;
    } else if (*p == ' ') {
      *out++ = '+';
    } else {
      *out++ = '%';
      *out++ = hex[*p >> 4];
      *out++ = hex[*p & 0x0F];
    }
  }
  return out;
}

// The URL without its query, "?", then the fields as name=value pairs
// joined by "&". A query in the URL is left out here: the library keeps it
// in the request path, and the body carries the fields alone.
HOST_SERVICE char* miva_variablelist_to_url(const char* url, void* list_handle) {
  const field_list* list = (const field_list*)list_handle;
  if (url == NULL) url = "";
  size_t base = strcspn(url, "?");
  size_t size = base + 1;
  int count = list != NULL ? list->count : 0;
  for (int i = 0; i < count; ++i)
    size += (i > 0 ? 1 : 0) + form_encoded_length(list->fields[i].name) + 1 +
            form_encoded_length(list->fields[i].value);
  char* text = (char*)must_alloc(size + 1);
  memcpy(text, url, base);
  char* out = text + base;
  *out++ = '?';
  for (int i = 0; i < count; ++i) {
    if (i > 0) *out++ = '&';
    out = form_encode(out, list->fields[i].name);
    *out++ = '=';
    out = form_encode(out, list->fields[i].value);
  }
  *out = '\0';
  keep_rendering(text);
  return text;
}

HOST_SERVICE void miva_variabletree_setvariable(void* tree_handle,
                                                const char* name,
                                                const char* value) {
  result_tree* tree = (result_tree*)tree_handle;
  if (tree == NULL) return;
  if (tree->count == tree->capacity) {
    int capacity = tree->capacity > 0 ? tree->capacity * 2 : 8;
    result_variable* grown = (result_variable*)realloc(
        tree->variables, (size_t)capacity * sizeof *grown);
    if (grown == NULL) out_of_memory();
    tree->variables = grown;
    tree->capacity = capacity;
  }
  result_variable* v = &tree->variables[tree->count++];
  v->name = copy_text(name != NULL ? name : "");
  v->value = copy_text(value != NULL ? value : "");
}

static void release_tree(result_tree* tree) {
  for (int i = 0; i < tree->count; ++i) {
    free(tree->variables[i].name);
    free(tree->variables[i].value);
  }
  free(tree->variables);
}

// --- card data masking -------------------------------------------------------

enum field_kind { FIELD_PLAIN, FIELD_CARD_NUMBER, FIELD_SECRET };

// Matched against the name lower-cased with everything but letters and digits
// dropped ("Card-Number", "card_number" and "cardNumber" are "cardnumber").
static const char* const kSecretParts[] = {
    "cvv", "cvc", "cvn", "securitycode", "cardcode", "exp",
    "track", "password", "passwd", "secret"};
static const char* const kCardParts[] = {"card", "ccnum", "ccno", "acct",
                                         "account"};
// Too short to match inside words ("company", "decide"): these must be a
// whole word of the name, words being split at non-alphanumerics, between
// a lower-case and an upper-case letter, and between letters and digits
// ("x_pan", "AmexCID", "cv2").
static const char* const kSecretWords[] = {"cid", "csc", "cv", "pin", "pwd"};
static const char* const kCardWords[] = {"pan", "cc"};

static char lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }
static bool is_digit(char c) { return c >= '0' && c <= '9'; }
static bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static bool is_alnum(char c) { return is_digit(c) || is_alpha(c); }

static bool name_has_part(const char* name, const char* const* parts, int count) {
  char normal[256];
  size_t n = 0;
  for (const char* p = name; *p && n + 1 < sizeof normal; ++p)
    if (is_alnum(*p)) normal[n++] = lower(*p);
  normal[n] = '\0';
  for (int i = 0; i < count; ++i)
    if (strstr(normal, parts[i]) != NULL) return true;
  return false;
}

static bool word_boundary(char before, char c) {
  if (!is_alnum(before) || !is_alnum(c)) return true;
  if (before >= 'a' && before <= 'z' && c >= 'A' && c <= 'Z') return true;
  return is_digit(before) != is_digit(c);
}

static bool name_has_word(const char* name, const char* const* words, int count) {
  const char* p = name;
  while (*p) {
    while (*p && !is_alnum(*p)) ++p;
    const char* start = p;
    while (*p && is_alnum(*p) && (p == start || !word_boundary(p[-1], *p))) ++p;
    size_t n = (size_t)(p - start);
    for (int i = 0; i < count; ++i) {
      if (strlen(words[i]) != n) continue;
      size_t k = 0;
      while (k < n && lower(start[k]) == words[i][k]) ++k;
      if (k == n) return true;
    }
  }
  return false;
}

#define COUNT_OF(a) ((int)(sizeof(a) / sizeof((a)[0])))

static int digit_count(const char* text) {
  int n = 0;
  for (const char* p = text; *p; ++p) n += is_digit(*p);
  return n;
}

// 13 to 19 digits, blanks and dashes between them, passing the Luhn check.
static bool looks_like_card_number(const char* value) {
  int digits = 0;
  for (const char* p = value; *p; ++p) {
    if (is_digit(*p)) ++digits;
    else if (*p != ' ' && *p != '-') return false;
  }
  if (digits < 13 || digits > 19) return false;
  int sum = 0;
  bool twice = false;
  for (const char* p = value + strlen(value); p-- != value;) {
    if (!is_digit(*p)) continue;
    int d = *p - '0';
    if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

static field_kind classify_field(const field* f) {
  if (name_has_part(f->name, kSecretParts, COUNT_OF(kSecretParts)) ||
      name_has_word(f->name, kSecretWords, COUNT_OF(kSecretWords)))
    return FIELD_SECRET;
  if (name_has_part(f->name, kCardParts, COUNT_OF(kCardParts)) ||
      name_has_word(f->name, kCardWords, COUNT_OF(kCardWords)) ||
      looks_like_card_number(f->value))
    return FIELD_CARD_NUMBER;
  return FIELD_PLAIN;
}

// A card number shows its last four digits, and nothing else; a value with
// fewer than 12 digits is no card number and is not shown at all.
static void print_card_mask(FILE* out, const char* text, size_t length) {
  size_t keep_from = length;
  int kept = 0;
  int digits = 0;
  for (size_t i = 0; i < length; ++i) digits += is_digit(text[i]);
  if (digits >= 12) {
    while (keep_from > 0 && kept < 4)
      if (is_digit(text[--keep_from])) ++kept;
  }
  for (size_t i = 0; i < length; ++i)
    fputc(i >= keep_from && is_digit(text[i]) ? text[i] : '*', out);
}

// Card numbers that were posted, as given and as digits alone: wherever one
// would appear in the output it is printed masked instead.
static char** card_numbers;
static int card_number_count;

static void remember_card_number(const char* value) {
  if (digit_count(value) < 12) return;
  char** grown = (char**)realloc(
      card_numbers, (size_t)(card_number_count + 2) * sizeof *card_numbers);
  if (grown == NULL) out_of_memory();
  card_numbers = grown;
  card_numbers[card_number_count++] = copy_text(value);
  char* digits = copy_text(value);
  char* d = digits;
  for (const char* p = value; *p; ++p)
    if (is_digit(*p)) *d++ = *p;
  *d = '\0';
  card_numbers[card_number_count++] = digits;
}

static void print_scrubbed(FILE* out, const char* text) {
  for (const char* p = text; *p;) {
    size_t hit = 0;
    for (int i = 0; i < card_number_count; ++i) {
      size_t n = strlen(card_numbers[i]);
      if (n > hit && strncmp(p, card_numbers[i], n) == 0) hit = n;
    }
    if (hit > 0) {
      print_card_mask(out, p, hit);
      p += hit;
    } else {
      fputc(*p++, out);
    }
  }
}

static void print_field_masked(FILE* out, const field* f) {
  fputs("field: ", out);
  fputs(f->name, out);
  fputc('=', out);
  switch (classify_field(f)) {
    case FIELD_SECRET:
      for (const char* p = f->value; *p; ++p) fputc('*', out);
      break;
    case FIELD_CARD_NUMBER:
      print_card_mask(out, f->value, strlen(f->value));
      break;
    case FIELD_PLAIN:
      print_scrubbed(out, f->value);
      break;
  }
  fputc('\n', out);
}

// --- command line --------------------------------------------------------------

static const char kUsage[] =
    "Usage: tarvane-post [--library PATH] [--verbose] URL [name=value...]\n";

static void print_help(void) {
  fputs(kUsage, stdout);
  fputs(
      "\n"
      "Posts payment fields to a Tarvane payment gateway through the TarvaneLink\n"
      "library, as a commerce host does, and prints the result variables that the\n"
      "library sets. For trying a gateway set-up outside the store.\n"
      "\n"
      "Arguments:\n"
      "  URL             the gateway URL, for example https://gateway.example/pay.\n"
      "                  The library always posts over TLS to port 443 of its\n"
      "                  host, with the platform's certificate checks. A query\n"
      "                  written in the URL stays in the request path.\n"
      "  name=value      a field to post (split at the first '='; the value may\n"
      "                  be empty). Fields are posted in the order given, as one\n"
      "                  application/x-www-form-urlencoded body: A-Z a-z 0-9\n"
      "                  - . _ * as they are, a blank as '+', every other byte\n"
      "                  as %XX (upper-case hex, so '~' is %7E). The bytes are\n"
      "                  those of the command line: on Linux in the terminal's\n"
      "                  encoding, on Windows in the ANSI code page, as a\n"
      "                  Windows host would post them.\n"
      "\n"
      "Options (before the URL; '--' ends them):\n"
      "  --library PATH  the library to load; default: " LIBRARY_FILE " in the\n"
      "                  directory of this program. A bare file name means the\n"
      "                  file in the current directory.\n"
      "  --verbose, -v   before posting, write to stderr a 'library: PATH' line,\n"
      "                  a 'post: URL' line and a 'field: name=value' line per\n"
      "                  field, card data masked (see below).\n"
      "  --help, -h      write this text and exit.\n"
      "\n"
      "Output:\n"
      "  stdout  one 'name=value' line per result variable, in the order the\n"
      "          library set them: tv_status first (accepted, declined or\n"
      "          error), then tv_authcode, tv_transid, tv_orderid, tv_refcode\n"
      "          for an acceptance, or tv_declined_reason for a decline. A\n"
      "          failure to reach the gateway sets none.\n"
      "  stderr  on failure, 'error: ' and the library's message.\n"
      "\n"
      "Exit status:\n"
      "  0  the gateway's reply was understood: accepted or declined (see\n"
      "     tv_status)\n"
      "  1  the payment failed: the gateway could not be reached (name, network,\n"
      "     certificate), or its reply was an error (tv_status=error)\n"
      "  2  usage error, or the library could not be loaded\n"
      "\n"
      "Card data:\n"
      "  The card number is never written out. In --verbose, fields are masked\n"
      "  by name, ignoring case, blanks and punctuation:\n"
      "  - entirely, when the name holds cvv, cvc, cvn, securitycode, cardcode,\n"
      "    exp (expiry, expdate, ...), track, password, passwd or secret, or has\n"
      "    the word cid, csc, cv, pin or pwd (as in x_cid, AmexCID, cv2);\n"
      "  - as a card number otherwise, when the name holds card, ccnum, ccno,\n"
      "    acct or account, or has the word pan or cc, and whatever the name\n"
      "    when the value is 13 to 19 digits (blanks and dashes allowed) that\n"
      "    pass the Luhn check. A card number shows only its last four digits,\n"
      "    all else '*'; with fewer than 12 digits it is masked entirely.\n"
      "  A card number posted that way is also masked wherever it would appear\n"
      "  in the result variables, the message or the URL. Other card data in\n"
      "  the URL is written as given: put none there.\n"
      "\n"
      "Example:\n"
      "  $ tarvane-post https://gateway.example/transact amount=12.50 \\\n"
      "        card_number=4111111111111111 cvv=123 exp=12/29\n"
      "  tv_status=accepted\n"
      "  tv_authcode=AUTH123\n"
      "  tv_transid=H456\n"
      "  tv_orderid=O789\n"
      "  tv_refcode=R012\n"
      "\n"
      "  $ tarvane-post https://gateway.example/no-such-page amount=12.50\n"
      "  tv_status=error\n"
      "  error: Invalid Tarvane response. Could not get result codes.\n"
      "  $ echo $?\n"
      "  1\n"
      "\n"
      "  $ tarvane-post --verbose https://gateway.example/transact \\\n"
      "        card_number=4111111111111111 cvv=123\n"
      "  library: /opt/tarvane/" LIBRARY_FILE "\n"
      "  post: https://gateway.example/transact\n"
      "  field: card_number=************1111\n"
      "  field: cvv=***\n"
      "  ...\n",
      stdout);
}

static int usage_error(const char* format, const char* argument) {
  fprintf(stderr, "%s: ", kProgram);
  fprintf(stderr, format, argument);
  fprintf(stderr, "\n%sTry 'tarvane-post --help' for more.\n", kUsage);
  return 2;
}

static bool starts_with_nocase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix)
    if (lower(*text) != *prefix) return false;
  return true;
}

// The library splits the URL at the first '/' after its host; without one
// the request would have no object to post to.
static bool url_has_host_and_path(const char* url) {
  if (starts_with_nocase(url, "https://")) url += 8;
  else if (starts_with_nocase(url, "http://")) url += 7;
  const char* slash = strchr(url, '/');
  return slash != NULL && slash != url;
}

static bool default_library_path(char* out, size_t size) {
  if (!executable_path(out, size)) return false;
  size_t dir = strlen(out);
  while (dir > 0 && !is_dir_separator(out[dir - 1])) --dir;
  if (dir + sizeof LIBRARY_FILE > size) return false;
  memcpy(out + dir, LIBRARY_FILE, sizeof LIBRARY_FILE);
  return true;
}

static bool has_dir_separator(const char* path) {
  for (; *path; ++path)
    if (is_dir_separator(*path)) return true;
  return false;
}

int main(int argc, char** argv) {
  const char* library_arg = NULL;
  bool verbose = false;
  int i = 1;
  for (; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "--") == 0) {
      ++i;
      break;
    }
    if (a[0] != '-' || a[1] == '\0') break;
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      print_help();
      return 0;
    }
    if (strcmp(a, "--verbose") == 0 || strcmp(a, "-v") == 0) {
      verbose = true;
    } else if (strcmp(a, "--library") == 0) {
      if (i + 1 >= argc) return usage_error("%s needs a PATH", a);
      library_arg = argv[++i];
      if (library_arg[0] == '\0') return usage_error("%s needs a PATH", a);
    } else if (strncmp(a, "--library=", 10) == 0) {
      library_arg = a + 10;
      if (library_arg[0] == '\0') return usage_error("%s needs a PATH", "--library");
    } else {
      return usage_error("unknown option '%s'", a);
    }
  }
  if (i >= argc) return usage_error("%s", "no gateway URL given");
  const char* url = argv[i++];
  if (!url_has_host_and_path(url))
    return usage_error("'%s' is not a gateway URL: it needs a host name and a path, "
                       "as in https://gateway.example/pay",
                       url);

  field_list list = {NULL, 0};
  list.fields = (field*)must_alloc((size_t)(argc - i) * sizeof *list.fields);
  for (; i < argc; ++i) {
    char* eq = strchr(argv[i], '=');
    if (eq == NULL || eq == argv[i]) {
      free(list.fields);
      return usage_error("'%s' is not a field: write name=value", argv[i]);
    }
    *eq = '\0';  // argv is ours to change; the name ends where the value starts
    list.fields[list.count].name = argv[i];
    list.fields[list.count].value = eq + 1;
    ++list.count;
  }
  for (int k = 0; k < list.count; ++k)
    if (classify_field(&list.fields[k]) == FIELD_CARD_NUMBER)
      remember_card_number(list.fields[k].value);

  char path[4096];
  if (library_arg == NULL) {
    if (!default_library_path(path, sizeof path)) {
      fprintf(stderr, "%s: cannot find the directory of this program; "
                      "name the library with --library PATH\n", kProgram);
      free(list.fields);
      return 2;
    }
  } else {
    // A bare name would send the platform searching its library path.
    snprintf(path, sizeof path, "%s%s",
             has_dir_separator(library_arg) ? "" : CURRENT_DIR, library_arg);
  }

  char why[512] = "";
  void* library = open_library(path, why, sizeof why);
  if (library == NULL) {
    fprintf(stderr, "%s: cannot load the library '%s': %s\n", kProgram, path, why);
    free(list.fields);
    return 2;
  }
  static const char* const kExports[] = {"miva_commerce_init", "miva_commerce_error",
                                         "miva_commerce_cleanup", "MivaRegisterLibrary"};
  void* entry[4];
  for (int k = 0; k < 4; ++k) {
    entry[k] = library_symbol(library, kExports[k]);
    if (entry[k] == NULL) {
      fprintf(stderr, "%s: '%s' is not a TarvaneLink library: it does not export %s\n",
              kProgram, path, kExports[k]);
      free(list.fields);
      return 2;
    }
  }
  commerce_init_fn commerce_init = (commerce_init_fn)entry[0];
  commerce_error_fn commerce_error = (commerce_error_fn)entry[1];
  commerce_cleanup_fn commerce_cleanup = (commerce_cleanup_fn)entry[2];
  register_library_fn register_library = (register_library_fn)entry[3];

  if (verbose) {
    fprintf(stderr, "library: %s\n", path);
    fputs("post: ", stderr);
    print_scrubbed(stderr, url);
    fputc('\n', stderr);
    for (int k = 0; k < list.count; ++k) print_field_masked(stderr, &list.fields[k]);
  }

  register_library(host_module());

  void* library_data = NULL;
  result_tree tree = {NULL, 0, 0};
  int result = commerce_init(NULL, &library_data, NULL, url, &list, &tree);

  for (int k = 0; k < tree.count; ++k) {
    print_scrubbed(stdout, tree.variables[k].name);
    fputc('=', stdout);
    print_scrubbed(stdout, tree.variables[k].value);
    fputc('\n', stdout);
  }
  fflush(stdout);
  if (result != 0) {
    const char* message = commerce_error(NULL, &library_data);
    fputs("error: ", stderr);
    print_scrubbed(stderr, message != NULL ? message : "(no message)");
    fputc('\n', stderr);
    if (result != 1)
      fprintf(stderr, "%s: the library returned %d, taken as a failure\n", kProgram, result);
  }
  commerce_cleanup(NULL, &library_data);

  release_tree(&tree);
  release_renderings();
  for (int k = 0; k < card_number_count; ++k) free(card_numbers[k]);
  free(card_numbers);
  free(list.fields);
  return result == 0 ? 0 : 1;
}
