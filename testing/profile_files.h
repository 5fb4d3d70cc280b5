#ifndef ZENTRIK_TESTING_PROFILE_FILES_H_
#define ZENTRIK_TESTING_PROFILE_FILES_H_

// Reading back what an export wrote into a log directory. Uses nothing of the
// library, so tests that link only libzentrik.so can use it too.

#include <string>
#include <vector>

namespace zentrik {
namespace testing {

// The entry names of `dir` except "." and "..", sorted; empty when the
// directory cannot be read.
std::vector<std::string> ListDirectory(const std::string& dir);

// Every entry below `dir` as a path relative to it, sorted, with links shown
// as "name -> target" and never followed; directories end in "/".
std::vector<std::string> ListTree(const std::string& dir);

// Creates (or truncates) the regular file `path` holding `contents`; false
// when it cannot be written. Tests put such a file where the library expects
// a directory.
bool WriteTestFile(const std::string& path, const std::string& contents = "x");

// Moves the directory `path` to `moved_to` and makes an empty one at `path`
// as another user of a shared log directory could: writable by all, and
// owned by another user when the process may give it away (as root). False
// when a step fails.
bool ReplaceWithAnotherUsersDirectory(const std::string& path, const std::string& moved_to);

// True for a run directory name: "YYYY_MM_DD_hh_mm_ss." followed by one to six
// digits (the end of the epoch seconds, a "-" allowed first), optionally
// followed by "_" and a number.
bool IsRunName(const std::string& name);

// Inflates one gzip stream into `*text`; false unless `compressed` is exactly
// one complete, valid stream.
bool Gunzip(const std::string& compressed, std::string* text);

// Deflate settings in zlib's terms (deflateInit2 and deflate). The defaults
// are those the library's gzip files are written with.
struct DeflateSettings {
  int level = -1;        // Z_DEFAULT_COMPRESSION, that is 6
  int window_bits = 31;  // a 32 KiB window (15) in a gzip frame (+16)
  int mem_level = 9;
  int strategy = 0;  // Z_DEFAULT_STRATEGY
  int flush = 0;     // Z_NO_FLUSH; otherwise the whole text is deflated with it before finishing
};

// `text` deflated from a single buffer with `settings`; with the defaults,
// what the library's gzip files must hold byte for byte. Empty on failure.
std::string GzipInOneCall(const std::string& text, const DeflateSettings& settings = {});

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_PROFILE_FILES_H_
