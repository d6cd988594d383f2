#pragma once
// INI ("profile") files: read a key with a default, write a key in place. Nothing is cached;
// every call goes to the file. Values are UTF-8 here whatever the file's own encoding.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

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

class ProfileFile {
  public:
    explicit ProfileFile(std::string name);

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
