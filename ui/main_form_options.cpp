// The main window's keying options: the check items and radio items of the Setup menu, and the
// Iamb and speaker buttons.
#include <QAction>
#include <QActionGroup>
#include <QToolButton>

#include "engine/engine.h"
#include "ui/main_form.h"

namespace telkey {

namespace {

// The words of the two changing captions that carry their access letters.
constexpr char kPaddleWord[] = "paddle";
constexpr char kSilenceWord[] = "silence";

// The caption with the access letter put before the first `word` in it.
QString WithAccessLetter(const std::string& caption, const char* word) {
    QString marked = QString::fromStdString(caption);
    const qsizetype at = marked.indexOf(QLatin1String(word));
    if (at >= 0) marked.insert(at, QLatin1Char('&'));
    return marked;
}

}  // namespace

void TForm1::MOX1Click() {
    ToggleCheckItem(engine.keyerSettings.MoxOn, *MOX1);
}

void TForm1::TXOnKeyboard1Click() {
    ToggleCheckItem(options.TxAtKeyboard, *TXOnKeyboard1);
}

void TForm1::TxAtPaddle1Click() {
    ToggleCheckItem(engine.keyerSettings.TxAtPaddle, *TxAtPaddle1);
}

void TForm1::RxAtFreeBuffer1Click() {
    ToggleCheckItem(options.RxAtFreeBuffer, *RxAtFreeBuffer1);
}

void TForm1::RxAtSilence1Click() {
    ToggleCheckItem(engine.keyerSettings.RxAtSilence, *RxAtSilence1);
}

void TForm1::PauseAtPaddle1Click() {
    ToggleCheckItem(engine.keyerSettings.PauseAtPaddle, *PauseAtPaddle1);
}

void TForm1::PauseOffAtRx1Click() {
    ToggleCheckItem(options.PauseOffAtRx, *PauseOffAtRx1);
}

void TForm1::SetPaddleDelay(std::int32_t paddleDelay) {
    engine.keyerSettings.PaddleDelay.store(paddleDelay);
    TxAtPaddle1->setText(WithAccessLetter(PaddleDelayCaption(paddleDelay), kPaddleWord));
    CheckRadioValue(*DelayGroup, paddleDelay);
}

void TForm1::SetSilenceLen(std::int32_t silenceLen) {
    engine.keyerSettings.SilenceLen.store(silenceLen);
    RxAtSilence1->setText(WithAccessLetter(SilenceLenCaption(silenceLen), kSilenceWord));
    CheckRadioValue(*SilenceLenGroup, silenceLen);
}

void TForm1::SpeakerButtonClick() {
    engine.portSettings.UseSpeaker.store(SpeakerButton->isChecked() ? 1 : 0);
}

void TForm1::YambButtonClick() {
    engine.keyerSettings.IsYamb.store(YambButton->isChecked() ? 1 : 0);
}

void TForm1::ShowKeyingOptions() {
    const KeyerSettings& keyer = engine.keyerSettings;
    MOX1->setChecked(keyer.MoxOn.load() != 0);
    TXOnKeyboard1->setChecked(options.TxAtKeyboard != 0);
    TxAtPaddle1->setChecked(keyer.TxAtPaddle.load() != 0);
    RxAtFreeBuffer1->setChecked(options.RxAtFreeBuffer != 0);
    RxAtSilence1->setChecked(keyer.RxAtSilence.load() != 0);
    PauseAtPaddle1->setChecked(keyer.PauseAtPaddle.load() != 0);
    PauseOffAtRx1->setChecked(options.PauseOffAtRx != 0);
    SetPaddleDelay(keyer.PaddleDelay.load());
    SetSilenceLen(keyer.SilenceLen.load());
    SpeakerButton->setChecked(engine.portSettings.UseSpeaker.load() != 0);
    YambButton->setChecked(keyer.IsYamb.load() != 0);
}

}  // namespace telkey
