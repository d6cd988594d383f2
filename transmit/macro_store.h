#pragma once
// The sixteen macro texts (UTF-8); slots 1 to 12 belong to F1 to F12. A slot that the settings
// file does not define holds its own key name.
#include <array>
#include <string>

namespace telkey {

struct MacroStore {
    static constexpr int kSlots = 16;

    MacroStore() {
        for (int i = 0; i < kSlots; ++i) slots[i] = KeyName(i);
    }
    // "Macro%d": the settings key of a slot, and its default text.
    static std::string KeyName(int slot) { return "Macro" + std::to_string(slot); }

    std::array<std::string, kSlots> slots;
};

}  // namespace telkey
