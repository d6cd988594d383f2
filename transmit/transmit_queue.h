#pragma once
// The transmit queue is the text of the Input window itself: FeedKeyer hands its first
// character to the keyer and cuts it off; EchoSent moves what the keyer has finished into the
// Sent window.
#include <QMetaObject>
#include <QObject>
#include <QTextCursor>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "transmit/macro_expansion.h"

class QPlainTextEdit;
class QTextDocument;

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

// Why text waits in Input and how the operator sends it; empty while nothing holds it back.
// moxSends: MOX with "TX On at keyboard press" would switch transmit on by itself.
QString WaitingHint(bool textWaits, bool transmitting, bool paused, bool moxSends);

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
    // Stops sending at once: the code waiting for the keyer and the text in Input are dropped
    // (the marks a program put there stay, to act in their order), and the keyer ends the
    // character on the air with the element being keyed.
    void StopSending();
    // The code waiting for the keyer goes back to the front of Input as it was typed (transmit
    // could not go on); a word space Telkey put in itself is just taken back.
    void TakeBackWaiting();
    // Input's change event.
    void InputChange();
    // The idle pass: the event loop has run empty.
    void AppIdle();
    // Runs AppIdle whenever the window thread's event loop is about to sleep.
    void InstallAppIdle();
    // A click in Sent gives the focus back to Input.
    void SentClick();

    // Told the WaitingHint whenever it changes.
    std::function<void(const QString&)> waitingHintChanged;

    // Code characters and event marks that a program put into Input (none when null).
    void SetQueueMarks(QueueMarks* marks) { marks_ = marks; }
    // Appends a program's text to Input; its private-use characters become its queue marks.
    void AppendWithMarks(const QString& text);
    // The queue mark at `position` of Input's document, or 0: a private-use character counts
    // only where AppendWithMarks put it, never where it was typed or pasted.
    static char16_t MarkAt(const QTextDocument* doc, int position);

    // Displayed lines of a text window, as wrapped; an empty last line does not count.
    static int DisplayedLines(QPlainTextEdit* window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void FeedOnce();
    void TellWaitingHint();
    void ExpandDeferredCommand();
    void HandOverOne();
    bool CutReachedMarks();
    bool ReachedAtKeyUp(char16_t mark);
    bool HasTextToKey() const;
    bool HalfSentBreakAtFront();
    void NoteTypedRange(int position, int added);
    void UnmarkTypedText();
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
    // The text the code in the mailbox was cut from; empty for a code with no text of its own.
    QString handedText_;
    bool echoBusy_ = false;
    bool idleBusy_ = false;
    // A line break is one character in the window but two word spaces on the air: the breaks
    // whose first word space has gone, followed through the edits (a deleted one collapses).
    std::vector<QTextCursor> halfSentBreaks_;
    // Text put in other than by AppendWithMarks since the last change event: [from, to).
    int typedFrom_ = -1;
    int typedTo_ = -1;
    bool appendingMarks_ = false;
    bool unmarking_ = false;
    // Where the last change of Input put its text, for cutting what goes beyond the limit.
    int lastChangeEnd_ = 0;
    QMetaObject::Connection idleConnection_;
    QString waitingHint_;
};

}  // namespace telkey
