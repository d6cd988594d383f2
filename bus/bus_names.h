#pragma once
// Registered message names: the file `names` in the bus directory holds one name a line, and a
// name's identifier is 0xC000 plus its line number, so every program that registers the same name
// gets the same identifier for as long as the directory lives. Names match without regard to case.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telkey {

constexpr std::uint32_t kFirstBusMessageId = 0xC000;
constexpr std::uint32_t kLastBusMessageId = 0xFFFF;
constexpr std::size_t kBusNameMax = 255;

class BusNames {
  public:
    explicit BusNames(std::string directory);

    // The name's identifier, registering it when it is new; 0 when the name cannot be registered
    // (empty, too long, a control character in it, the file unusable or full). A file that is
    // too large or holds a line that is not a name is unusable as a whole: numbering names
    // around such a line could give two names one identifier.
    std::uint32_t Register(std::string_view name);
    // The registered name of an identifier, as first registered.
    std::optional<std::string> NameOf(std::uint32_t id);

    // Why the last Register gave 0, and how to repair it; empty when it did not fail.
    const std::string& Problem() const { return problem_; }
    const std::string& Path() const { return path_; }

  private:
    std::uint32_t Find(std::string_view name) const;
    bool Reload(int fd);
    bool Unusable(const std::string& why);

    std::string path_;
    std::vector<std::string> names_;  // what the file held when last read
    std::string problem_;
};

}  // namespace telkey
