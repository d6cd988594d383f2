#pragma once
// INI ("profile") files: read a key with a default, write a key in place. Nothing is cached;
// every read, write or batch of reads goes to the file. Values are UTF-8 here whatever the file's
// own encoding.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace telkey {

// Raised by a failed write; what() is "Unable to write to <name as given>".
class ProfileWriteError : public std::runtime_error {
  public:
    explicit ProfileWriteError(const std::string& name);
};

// The longest value a read returns, in characters.
constexpr std::size_t kProfileValueMax = 2047;

// Where a profile name lies: ".\" or "./" in front is the working directory; a bare name is in
// the common directory (created when missing); anything else is a path as given.
std::string ResolveProfilePath(std::string_view name);

class ProfileFile;

// Keys read together from one reading of the file and one pass over it, as a caller reading
// many keys at once does: ask for every key, Read, then take the values.
class ProfileBatch {
  public:
    explicit ProfileBatch(const ProfileFile& file);

    void Ask(std::string_view section, std::string_view key);
    // Reads the file once and finds every key asked for.
    void Read();
    // The value read for a key asked for; the default for any other, and before Read.
    std::string Value(std::string_view section, std::string_view key,
                      std::string_view defaultValue) const;

  private:
    struct Asked {
        std::string section;
        std::string key;
        std::optional<std::string> value;
    };

    std::string name_;
    std::vector<Asked> asked_;
};

class ProfileFile {
  public:
    explicit ProfileFile(std::string name);

    // A batch of one key.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    // Throws ProfileWriteError when the file cannot be written; the old file stays intact.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);

    const std::string& Name() const { return name_; }

  private:
    std::string name_;
};

// Telkey's directory in the user's configuration: ${XDG_CONFIG_HOME:-$HOME/.config}/telkey.
std::string UserConfigDirectory();

// Creates a directory and its missing parents, private to the user (errors show when it is used).
void MakeDirectories(const std::string& dir);

}  // namespace telkey
