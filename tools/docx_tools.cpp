// docx_tools.cpp -- the docx-tools command: every library feature from the shell.
//
// Failures print "docx-tools: <message>" to standard error and exit 1; a
// command line that cannot be understood prints the usage and exits 2.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tavrimel_docx.h"

namespace {

constexpr const char *kVersion = "0.1.0";

constexpr const char *kUsage =
    "usage: docx-tools <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  content FILE [--plain]           print the body as Markdown (or plain text)\n"
    "  tables FILE [--pretty]           print the tables as JSON\n"
    "  info FILE [--pretty]             print a JSON summary of the document\n"
    "  write INPUT -o OUT [--plain]     write a DOCX from Markdown (or plain text);\n"
    "                                   INPUT - reads standard input\n"
    "  merge -o OUT FILE...             join the bodies of several DOCX files\n"
    "  replace FILE FIND REPLACEMENT -o OUT [--ignore-case] [--whole-word]\n"
    "                                   replace text, also across runs; prints the count\n"
    "\n"
    "options:\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n";

struct usage_error {
    std::string what;
};

int fail(const char *message) {
    std::fprintf(stderr, "docx-tools: %s\n", message);
    return 1;
}

int fail_last() {
    return fail(docx_last_error());
}

// The arguments of one command: positionals, flags, and the value of -o.
struct args {
    std::vector<std::string> positional;
    std::vector<std::string> flags;
    std::optional<std::string> output;

    bool has(const char *flag) const {
        for (const auto &f : flags)
            if (f == flag) return true;
        return false;
    }
};

args parse(int argc, char **argv, std::initializer_list<const char *> known) {
    args a;
    for (int i = 0; i < argc; ++i) {
        std::string s = argv[i];
        if (s == "-o" || s == "--output") {
            if (i + 1 >= argc) throw usage_error{"-o needs a file name"};
            a.output = argv[++i];
        } else if (s.size() > 1 && s[0] == '-' && s != "-") {
            bool ok = false;
            for (const char *k : known) ok = ok || s == k;
            if (!ok) throw usage_error{"unknown option " + s};
            a.flags.push_back(s);
        } else {
            a.positional.push_back(s);
        }
    }
    return a;
}

void expect_count(const args &a, size_t n, const char *what) {
    if (a.positional.size() != n) throw usage_error{what};
}

const std::string &require_output(const args &a) {
    if (!a.output) throw usage_error{"missing -o OUT"};
    return *a.output;
}

// Opens FILE, runs `use` on the handle and closes it again.
template <typename F>
int with_document(const std::string &path, F use) {
    int h = docx_open(path.c_str());
    if (h < 0) return fail_last();
    int rc = use(h);
    docx_close(h);
    return rc;
}

int print_text(const char *text) {
    if (!text) return fail_last();
    std::fputs(text, stdout);
    return 0;
}

int print_json(const char *json, bool pretty) {
    if (!json) return fail_last();
    if (!pretty) {
        std::printf("%s\n", json);
        return 0;
    }
    // ordered_json keeps the library's key order.
    auto doc = nlohmann::ordered_json::parse(json, nullptr, false);
    if (doc.is_discarded()) return fail("cannot pretty-print: the JSON is not valid UTF-8");
    std::printf("%s\n",
                doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    return 0;
}

int cmd_content(int argc, char **argv) {
    args a = parse(argc, argv, {"--plain"});
    expect_count(a, 1, "content takes one FILE");
    int format = a.has("--plain") ? 1 : 0;
    return with_document(a.positional[0],
                         [&](int h) { return print_text(docx_content(h, format)); });
}

int cmd_tables(int argc, char **argv) {
    args a = parse(argc, argv, {"--pretty"});
    expect_count(a, 1, "tables takes one FILE");
    return with_document(a.positional[0],
                         [&](int h) { return print_json(docx_tables(h), a.has("--pretty")); });
}

int cmd_info(int argc, char **argv) {
    args a = parse(argc, argv, {"--pretty"});
    expect_count(a, 1, "info takes one FILE");
    return with_document(a.positional[0],
                         [&](int h) { return print_json(docx_info(h), a.has("--pretty")); });
}

std::optional<std::string> read_input(const std::string &path) {
    FILE *f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string text;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    bool ok = !std::ferror(f);
    if (f != stdin) std::fclose(f);
    if (!ok) return std::nullopt;
    return text;
}

int cmd_write(int argc, char **argv) {
    args a = parse(argc, argv, {"--plain"});
    expect_count(a, 1, "write takes one INPUT");
    const std::string &out = require_output(a);
    auto text = read_input(a.positional[0]);
    if (!text) {
        std::string msg =
            "cannot read input: " + a.positional[0] + " (" + std::strerror(errno) + ")";
        return fail(msg.c_str());
    }
    if (text->find('\0') != std::string::npos) return fail("input holds a NUL byte");
    if (!docx_write(text->c_str(), a.has("--plain") ? 1 : 0, out.c_str())) return fail_last();
    return 0;
}

int cmd_merge(int argc, char **argv) {
    args a = parse(argc, argv, {});
    const std::string &out = require_output(a);
    if (a.positional.empty()) throw usage_error{"merge needs at least one FILE"};
    // The list is JSON, whose strings are UTF-8: a path in another encoding
    // cannot be named in it (dropping its odd bytes would name another file).
    for (const auto &path : a.positional) {
        try {
            (void)nlohmann::json(path).dump();
        } catch (const nlohmann::json::type_error &) {
            return fail(("path is not valid UTF-8: " + path).c_str());
        }
    }
    std::string list = nlohmann::json(a.positional).dump();
    if (!docx_merge(list.c_str(), out.c_str())) return fail_last();
    return 0;
}

int cmd_replace(int argc, char **argv) {
    args a = parse(argc, argv, {"--ignore-case", "--whole-word"});
    expect_count(a, 3, "replace takes FILE FIND REPLACEMENT");
    const std::string &out = require_output(a);
    int match_case = a.has("--ignore-case") ? 0 : 1;
    int whole_word = a.has("--whole-word") ? 1 : 0;
    return with_document(a.positional[0], [&](int h) {
        int n = docx_text_replace_opt(h, a.positional[1].c_str(), a.positional[2].c_str(),
                                      out.c_str(), match_case, whole_word);
        if (n < 0) return fail_last();
        std::printf("%d\n", n);
        return 0;
    });
}

int run(int argc, char **argv) {
    if (argc < 2) throw usage_error{"missing command"};
    std::string cmd = argv[1];
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "--version") {
        std::printf("docx-tools %s\n", kVersion);
        return 0;
    }
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    struct entry {
        const char *name;
        int (*fn)(int, char **);
    };
    static const entry commands[] = {{"content", cmd_content}, {"tables", cmd_tables},
                                     {"info", cmd_info},       {"write", cmd_write},
                                     {"merge", cmd_merge},     {"replace", cmd_replace}};
    for (const auto &c : commands)
        if (cmd == c.name) return c.fn(argc - 2, argv + 2);
    throw usage_error{"unknown command " + cmd};
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const usage_error &e) {
        std::fprintf(stderr,
                     "docx-tools: %s\nusage: docx-tools <command> [arguments]\n"
                     "Run 'docx-tools --help' for the commands.\n",
                     e.what.c_str());
        return 2;
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}
