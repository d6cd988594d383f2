#pragma once
// The transmit queue is the text of the Input window itself: FeedKeyer hands its first
// character to the keyer and cuts it off; EchoSent moves what the keyer has finished into the
// Sent window.
#include <QMetaObject>
#include <QObject>
#include <cstddef>
#include <cstdint>

#include "transmit/macro_expansion.h"

class QPlainTextEdit;

namespace telkey {

struct Engine;
struct KeyingOptions;
class MacroRunner;
class QueueMarks;
class TxControl;

// Limits of the two text windows, in characters.
inline constexpr std::size_t kSentMaxLength = 5000;
// Displayed (wrapped) lines Sent holds before an append; older ones are dropped from the top.
inline constexpr int kSentMaxLines = 10;

class TransmitQueue : public QObject {
    Q_OBJECT

  public:
    TransmitQueue(Engine& engine, const KeyingOptions& options, QPlainTextEdit* input,
                  QPlainTextEdit* sent, TxControl& tx, MacroRunner& macros,
                  QObject* parent = nullptr);
    ~TransmitQueue() override;

    // Refills the mailbox from the front of Input; switches transmit on when text is typed.
    void FeedKeyer();
    // Moves one code from the ring into Sent; ends transmission when the queue has run dry.
    void EchoSent();
    // Input's change event.
    void InputChange();
    // The idle pass: the event loop has run empty.
    void AppIdle();
    // Runs AppIdle whenever the window thread's event loop is about to sleep.
    void InstallAppIdle();
    // A click in Sent gives the focus back to Input.
    void SentClick();

    // Code characters and event marks that a program put into Input (none when null).
    void SetQueueMarks(QueueMarks* marks) { marks_ = marks; }

    // Displayed lines of a text window, as wrapped; an empty last line does not count.
    static int DisplayedLines(QPlainTextEdit* window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ExpandDeferredCommand();
    void HandOverOne();
    bool CutReachedMarks();
    bool Fill(std::uint8_t code);
    void AppendSent(const QString& text);
    bool DropFirstSentLine();
    bool EnforceInputLimit();
    int InputLength() const;

    Engine& engine_;
    const KeyingOptions& options_;
    QPlainTextEdit* input_;
    QPlainTextEdit* sent_;
    TxControl& tx_;
    MacroRunner& macros_;
    QueueMarks* marks_ = nullptr;
    bool feedBusy_ = false;
    bool echoBusy_ = false;
    bool idleBusy_ = false;
    // A line break is one character in the window but two word spaces on the air: set while
    // the first of them has been handed over and the break still stands at the front.
    bool lineBreakHalfSent_ = false;
    // Where the last change of Input put its text, for cutting what goes beyond the limit.
    int lastChangeEnd_ = 0;
    QMetaObject::Connection idleConnection_;
};

}  // namespace telkey
