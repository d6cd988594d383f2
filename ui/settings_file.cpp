#include "ui/settings_file.h"

#include <QAbstractButton>
#include <QAction>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <limits>

#include "backends/port_bus_devices.h"
#include "engine/engine.h"
#include "options/keying_options.h"
#include "options/speed_control.h"
#include "options/speed_table.h"
#include "profile/exchange_settings.h"
#include "profile/profile_file.h"
#include "transmit/macro_store.h"
#include "ui/colour_value.h"
#include "ui/outer_geometry.h"
#include "ui/profile_devices.h"
#include "widgets/message_box.h"
#include "widgets/text_window_style.h"
#include "widgets/up_down.h"

namespace telkey {
namespace {

constexpr int kPointsPerInch = 72;
constexpr int kDefaultDpi = 96;
// Larger fonts than this are no text window's; a stored value beyond is taken as this.
constexpr int kLargestFont = 1000;

// Rounded a * b / c, as the platform's MulDiv.
int MulDiv(int a, int b, int c) {
    return static_cast<int>(std::lround(static_cast<double>(a) * b / c));
}

int Dpi(const QWidget& w) {
    return w.logicalDpiY() > 0 ? w.logicalDpiY() : kDefaultDpi;
}

// Down for a non-zero flag, up for zero, whatever the button showed before the settings came.
void SetDown(QAbstractButton* button, std::int32_t flag) {
    if (button != nullptr) button->setChecked(flag != 0);
}

void SetCheck(QAction* item, std::int32_t flag) {
    if (item != nullptr) item->setChecked(flag != 0);
}

std::int32_t Style(const QFont& font) {
    std::int32_t style = 0;
    if (font.bold()) style |= kStyleBold;
    if (font.italic()) style |= kStyleItalic;
    if (font.underline()) style |= kStyleUnderline;
    if (font.strikeOut()) style |= kStyleStrikeOut;
    return style;
}

// A stored colour, unless the colour it stood for has been changed since it was loaded.
std::int32_t CurrentColour(const QColor& now, std::int32_t loaded) {
    return now == ColourFromValue(loaded, QGuiApplication::palette()) ? loaded
                                                                      : ValueFromColour(now);
}

}  // namespace

void ApplyGeometry(QWidget& window, std::int32_t left, std::int32_t top, std::int32_t height,
                   std::int32_t width) {
    OuterGeometry& outer = OuterGeometry::Of(window);
    if (left != kDesignedGeometry) outer.SetLeft(left);
    if (top != kDesignedGeometry) outer.SetTop(top);
    if (height != kDesignedGeometry) outer.SetHeight(height);
    if (width != kDesignedGeometry) outer.SetWidth(width);
}

SettingsFile::SettingsFile(Engine& engine, KeyingOptions& options, SpeedControl& speed,
                           ExchangeSettings& exchange, MacroStore& macros, MessageBoxes& boxes)
    : engine_(engine),
      options_(options),
      speed_(speed),
      exchange_(exchange),
      macros_(macros),
      boxes_(boxes),
      txLoaded_{DefaultTxFont(), QFont()},
      sentLoaded_{DefaultSentFont(), QFont()} {}

void SettingsFile::LoadSettings() {
    const ProfileFile file(kSettingsFileName);
    ApplyValues(ReadSettingsValues(file));
}

void SettingsFile::ApplyValues(const SettingsValues& v) {
    PortSettings& ports = engine_.portSettings;
    KeyerSettings& keyer = engine_.keyerSettings;

    // Qor_Cw, each value cut to its variable's width.
    ports.DotPort = static_cast<std::uint16_t>(v.DotPort);
    ports.DotXorMask = static_cast<std::uint8_t>(v.DotXorMask);
    ports.DotAndMask = static_cast<std::uint8_t>(v.DotAndMask);
    ports.DashPort = static_cast<std::uint16_t>(v.DashPort);
    ports.DashXorMask = static_cast<std::uint8_t>(v.DashXorMask);
    ports.DashAndMask = static_cast<std::uint8_t>(v.DashAndMask);
    ports.KeyPortNumber = v.KeyPortNumber;
    ports.KeyMask = static_cast<std::uint8_t>(v.KeyMask);
    ports.TxMask = static_cast<std::uint8_t>(v.TxMask);
    ports.AllMask = static_cast<std::uint8_t>(v.AllMask);
    ports.UseSpeaker = v.UseSpeaker;
    ports.SpeakerTone = v.SpeakerTone;
    ports.ToneDivisor = ToneDivisor(v.SpeakerTone);
    keyer.IsYamb = v.IsYamb;
    options_.OnTop = v.OnTop;
    speed_.Speed = v.Speed;
    speed_.SpeedIndex = kDefaultSpeedRow;  // until ApplySpeed picks the row
    speed_.DashDotRatio = v.DashDotRatio;
    speed_.Weighting = v.Weighting;
    keyer.WeightTicks = 0;
    exchange_.ExternIniFile = v.ExternIniFile;
    exchange_.ExternIniSection = v.ExternIniSection;
    exchange_.ExportIniFile = v.ExportIniFile;
    exchange_.ExportIniSection = v.ExportIniSection;
    exchange_.CallOnClear = v.CallOnClear;
    exchange_.RSTOnClear = v.RSTOnClear;
    exchange_.NameOnClear = v.NameOnClear;
    exchange_.OtherOnClear = v.OtherOnClear;

    ApplyFont(controls_.Input, v.TxFont, txLoaded_);
    ApplyFont(controls_.Sent, v.SentFont, sentLoaded_);

    macros_.slots = v.Macros;
    if (controls_.UpdateMacroHints) controls_.UpdateMacroHints();

    engine_.ResetHandover();

    if (controls_.mainWindow != nullptr) {
        ApplyGeometry(*controls_.mainWindow, v.Left, v.Top, v.Height, v.Width);
    }
    if (controls_.macroEditor != nullptr) {
        ApplyGeometry(*controls_.macroEditor, v.MacroLeft, v.MacroTop, v.MacroHeight, v.MacroWidth);
    }

    SetDown(controls_.SpeakerButton, v.UseSpeaker);
    SetDown(controls_.YambButton, v.IsYamb);
    SetDown(controls_.OnTopButton, v.OnTop);
    if (controls_.DashDotUpDown != nullptr) {
        controls_.DashDotUpDown->SetPosition(static_cast<std::int16_t>(v.DashDotRatio));
    }

    // MOX
    keyer.MoxOn = v.MoxOn;
    options_.TxAtKeyboard = v.TxAtKeyboard;
    options_.RxAtFreeBuffer = v.RxAtFreeBuffer;
    keyer.RxAtSilence = v.RxAtSilence;
    keyer.SilenceLen = v.SilenceLen;
    keyer.TxAtPaddle = v.TxAtPaddle;
    keyer.PaddleDelay = v.PaddleDelay;
    keyer.PauseAtPaddle = v.PauseAtPaddle;
    options_.PauseOffAtRx = v.PauseOffAtRx;
    SetCheck(controls_.MOX1, v.MoxOn);
    SetCheck(controls_.TXOnKeyboard1, v.TxAtKeyboard);
    SetCheck(controls_.RxAtFreeBuffer1, v.RxAtFreeBuffer);
    SetCheck(controls_.RxAtSilence1, v.RxAtSilence);
    SetCheck(controls_.TxAtPaddle1, v.TxAtPaddle);
    SetCheck(controls_.PauseAtPaddle1, v.PauseAtPaddle);
    SetCheck(controls_.PauseOffAtRx1, v.PauseOffAtRx);
    if (controls_.SetPaddleDelay) controls_.SetPaddleDelay(v.PaddleDelay);
    if (controls_.SetSilenceLen) controls_.SetSilenceLen(v.SilenceLen);
}

void SettingsFile::ApplyFont(QPlainTextEdit* window, const FontSettings& stored,
                             LoadedTextWindow& loaded) {
    loaded.stored = stored;
    if (window == nullptr) return;
    const QPalette& desktop = QGuiApplication::palette();
    QFont font = window->font();
    // An empty name keeps the typeface the window has.
    if (!stored.Name.empty()) font.setFamily(QString::fromStdString(stored.Name));
    // Charset: Qt's fonts have no character set of their own; the value is kept for saving.
    SetTextColor(*window, ColourFromValue(stored.Color, desktop));
    if (stored.Height != 0 && stored.Height != std::numeric_limits<std::int32_t>::min()) {
        font.setPixelSize(std::min(std::abs(stored.Height), kLargestFont));
    }
    if (stored.Pitch == kPitchFixed) font.setFixedPitch(true);
    if (stored.Pitch == kPitchVariable) font.setFixedPitch(false);
    if (stored.Size > 0) font.setPointSize(std::min(stored.Size, kLargestFont));
    font.setBold((stored.Style & kStyleBold) != 0);
    font.setItalic((stored.Style & kStyleItalic) != 0);
    font.setUnderline((stored.Style & kStyleUnderline) != 0);
    font.setStrikeOut((stored.Style & kStyleStrikeOut) != 0);
    window->setFont(font);
    SetBackgroundColor(*window, ColourFromValue(stored.BkgColor, desktop));
    loaded.font = window->font();
}

FontSettings SettingsFile::CurrentFont(const QPlainTextEdit* window,
                                       const LoadedTextWindow& loaded) const {
    if (window == nullptr) return loaded.stored;
    FontSettings s = loaded.stored;
    const QFont font = window->font();
    if (font != loaded.font) {
        const int dpi = Dpi(*window);
        s.Name = font.family().toStdString();
        if (font.pixelSize() > 0) {
            s.Height = -font.pixelSize();
            s.Size = MulDiv(font.pixelSize(), kPointsPerInch, dpi);
        } else {
            s.Size = font.pointSize();
            s.Height = -MulDiv(font.pointSize(), dpi, kPointsPerInch);
        }
        if (font.fixedPitch()) {
            s.Pitch = kPitchFixed;
        } else if (s.Pitch == kPitchFixed) {
            s.Pitch = kPitchDefault;
        }
        s.Style = Style(font);
    }
    s.Color = CurrentColour(TextColor(*window), loaded.stored.Color);
    s.BkgColor = CurrentColour(BackgroundColor(*window), loaded.stored.BkgColor);
    return s;
}

SettingsValues SettingsFile::CurrentValues() const {
    const PortSettings& ports = engine_.portSettings;
    const KeyerSettings& keyer = engine_.keyerSettings;
    SettingsValues v = DefaultSettingsValues();

    v.DotPort = ports.DotPort;
    v.DotXorMask = ports.DotXorMask;
    v.DotAndMask = ports.DotAndMask;
    v.DashPort = ports.DashPort;
    v.DashXorMask = ports.DashXorMask;
    v.DashAndMask = ports.DashAndMask;
    v.KeyPortNumber = ports.KeyPortNumber;
    v.KeyMask = ports.KeyMask;
    v.TxMask = ports.TxMask;
    v.AllMask = ports.AllMask;
    v.UseSpeaker = ports.UseSpeaker;
    v.SpeakerTone = ports.SpeakerTone;
    v.IsYamb = keyer.IsYamb;
    v.OnTop = options_.OnTop;
    v.Speed = speed_.Speed;
    v.DashDotRatio = speed_.DashDotRatio;
    v.Weighting = speed_.Weighting;
    v.ExternIniFile = exchange_.ExternIniFile;
    v.ExternIniSection = exchange_.ExternIniSection;
    v.ExportIniFile = exchange_.ExportIniFile;
    v.ExportIniSection = exchange_.ExportIniSection;
    v.CallOnClear = exchange_.CallOnClear;
    v.RSTOnClear = exchange_.RSTOnClear;
    v.NameOnClear = exchange_.NameOnClear;
    v.OtherOnClear = exchange_.OtherOnClear;

    if (QWidget* w = controls_.mainWindow) {
        const QRect outer = OuterGeometry::Of(*w).Outer();
        v.Left = outer.x();
        v.Top = outer.y();
        v.Height = outer.height();
        v.Width = outer.width();
    }
    if (QWidget* w = controls_.macroEditor) {
        const QRect outer = OuterGeometry::Of(*w).Outer();
        v.MacroLeft = outer.x();
        v.MacroTop = outer.y();
        v.MacroHeight = outer.height();
        v.MacroWidth = outer.width();
    }

    v.TxFont = CurrentFont(controls_.Input, txLoaded_);
    v.SentFont = CurrentFont(controls_.Sent, sentLoaded_);
    v.Macros = macros_.slots;

    v.MoxOn = keyer.MoxOn;
    v.TxAtKeyboard = options_.TxAtKeyboard;
    v.RxAtFreeBuffer = options_.RxAtFreeBuffer;
    v.RxAtSilence = keyer.RxAtSilence;
    v.SilenceLen = keyer.SilenceLen;
    v.TxAtPaddle = keyer.TxAtPaddle;
    v.PaddleDelay = keyer.PaddleDelay;
    v.PauseAtPaddle = keyer.PauseAtPaddle;
    v.PauseOffAtRx = options_.PauseOffAtRx;
    return v;
}

void SettingsFile::Savesetup1Click() {
    ProfileFile file(kSettingsFileName);
    try {
        WriteSettingsValues(file, CurrentValues());
        if (devices_ != nullptr && devices_->Layer() != nullptr) {
            WriteDeviceChoices(file, devices_->Devices());
        }
    } catch (const ProfileWriteError& error) {
        ShowWriteError(error);
        return;
    }
    SaveMacros();
}

void SettingsFile::SaveMacros() {
    ProfileFile file(kSettingsFileName);
    try {
        WriteMacroTexts(file, macros_.slots);
    } catch (const ProfileWriteError& error) {
        ShowWriteError(error);
    }
}

void SettingsFile::ShowWriteError(const std::exception& error) {
    boxes_.ShowError(QString::fromLatin1(kApplicationTitle),
                     QString::fromStdString(WriteFailureText(error.what(), kSettingsFileName)));
}

}  // namespace telkey
