// testkit.h -- small helpers shared by the tests: temporary folders, ZIP
// packages built from XML strings, and the real-world corpus.
#ifndef TAVRIMEL_DOCX_TESTKIT_H
#define TAVRIMEL_DOCX_TESTKIT_H

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testkit {

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const fs::path &path() const { return path_; }
    std::string file(std::string_view name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// A main document part whose w:body holds `body` (namespaces w and r declared).
std::string document_xml(std::string_view body, std::string_view body_tail =
                                                    "<w:sectPr><w:pgSz w:w=\"12240\"/></w:sectPr>");

// Writes a ZIP archive with the entries in the order given (deflated).
void write_zip(const std::string &path, const Entries &entries);
// A package with content types, relationships and the given main part (and
// core properties when not empty). Returns `path`.
std::string write_docx(const std::string &path, const std::string &doc_xml,
                       const std::string &core_xml = "");
// Every entry of a ZIP file, decompressed, in central-directory order.
Entries read_zip(const std::string &path);
// One entry's bytes; fails the current test when absent.
std::string read_entry(const std::string &path, std::string_view name);
std::string read_file(const std::string &path);
// `n` bytes that do not compress, the same for the same `n`.
std::string noise(size_t n);
void write_file(const std::string &path, std::string_view bytes);

// The .docx files of the real-world corpus, sorted; empty when the folder
// (DOCX_CORPUS_DIR, else the configured path) is absent.
std::vector<std::string> corpus_files();
std::string corpus_dir();
// The manifest's note for a corpus file ("" when unknown).
std::string corpus_note(const std::string &file);

// Runs `cmd` through the shell, standard error merged into the output.
struct Command {
    int status;  // exit status, -1 when the command could not be run
    std::string output;
};
Command run_command(const std::string &cmd);

// Opens `path`, renders it and closes it; "<error: message>" on failure.
std::string content_of(const std::string &path, int format);

}  // namespace testkit

#endif
