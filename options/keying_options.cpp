#include "options/keying_options.h"

#include <QAction>
#include <QActionGroup>

namespace telkey {

std::string PaddleDelayCaption(std::int32_t paddleDelay) {
    return "TX On at paddle press with " + std::to_string(paddleDelay) + " ms keying delay";
}

std::string SilenceLenCaption(std::int32_t silenceLen) {
    return "TX Off at " + std::to_string(silenceLen) + " dots silence";
}

void ToggleCheckItem(std::int32_t& flag, QAction& item) {
    flag = 1 - flag;
    item.setChecked(flag != 0);
}

void ToggleCheckItem(std::atomic<std::int32_t>& flag, QAction& item) {
    const std::int32_t flipped = 1 - flag.load();
    flag.store(flipped);
    item.setChecked(flipped != 0);
}

void CheckRadioValue(QActionGroup& group, std::int32_t value) {
    for (QAction* item : group.actions()) {
        // Unchecking the checked item of an exclusive group is allowed from code, so a value
        // outside the list leaves the whole group unchecked.
        item->setChecked(item->data().toInt() == value);
    }
}

}  // namespace telkey
