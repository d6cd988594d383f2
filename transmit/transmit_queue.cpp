#include "transmit/transmit_queue.h"

#include <QAbstractEventDispatcher>
#include <QEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>

#include "engine/codepage1251.h"
#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "options/keying_options.h"
#include "transmit/busy_scope.h"
#include "transmit/macro_runner.h"
#include "transmit/queue_marks.h"
#include "transmit/tx_control.h"

namespace telkey {
namespace {

constexpr char16_t kDeferredMark = u'`';
constexpr char16_t kCommandMark = u'~';
constexpr char16_t kCommandOpen = u'[';
constexpr char16_t kCommandClose = u']';
// A deferred command runs over printable ASCII only.
constexpr char16_t kDeferredFirst = 0x21;
constexpr char16_t kDeferredLast = 0x7F;

int Length(const QTextDocument* doc) {
    return doc->characterCount() - 1;
}

// Marks that a program put into Input carry this property; typed text never does.
constexpr int kQueueMarkProperty = QTextFormat::UserProperty + 0x51;

bool IsPrivateUse(QChar c) {
    return c.unicode() >= kQueueCodeFirst && c.unicode() <= kQueueEventLast;
}

bool IsLineBreak(QChar c) {
    return c == QChar::ParagraphSeparator || c == QChar::LineSeparator || c == u'\n';
}

// Removes [from, to) of a document without touching any view's cursor by hand: cursors after
// the cut move back with the text they stand on.
void RemoveRange(QTextDocument* doc, int from, int to) {
    QTextCursor cut(doc);
    cut.setPosition(from);
    cut.setPosition(to, QTextCursor::KeepAnchor);
    cut.removeSelectedText();
}

QString SentText(std::uint8_t code) {
    QString text;
    for (const char* p = CodeText(code); *p != '\0'; ++p) {
        text.append(QChar(static_cast<char16_t>(Cp1251ToUnicode(static_cast<std::uint8_t>(*p)))));
    }
    return text;
}

}  // namespace

TransmitQueue::TransmitQueue(Engine& engine, const KeyingOptions& options, QPlainTextEdit* input,
                             QPlainTextEdit* sent, TxControl& tx, MacroRunner& macros,
                             QObject* parent)
    : QObject(parent),
      engine_(engine),
      options_(options),
      input_(input),
      sent_(sent),
      tx_(tx),
      macros_(macros) {
    // Sent only ever grows at its end; an undo history would grow with it.
    sent_->setUndoRedoEnabled(false);
    sent_->viewport()->installEventFilter(this);
    connect(input_->document(), &QTextDocument::contentsChange, this,
            [this](int position, int /*removed*/, int added) {
                lastChangeEnd_ = position + added;
                NoteTypedRange(position, added);
            });
    connect(input_, &QPlainTextEdit::textChanged, this, &TransmitQueue::InputChange);
}

TransmitQueue::~TransmitQueue() {
    QObject::disconnect(idleConnection_);
}

int TransmitQueue::InputLength() const {
    return Length(input_->document());
}

QString WaitingHint(bool textWaits, bool transmitting, bool paused, bool moxSends) {
    if (!textWaits) return {};
    if (transmitting) return paused ? QStringLiteral("Pause is on: Alt-P sends") : QString();
    if (paused) return QStringLiteral("TX is off and pause is on: Alt-T and Alt-P send");
    return moxSends ? QStringLiteral("TX is off: Alt-T or MOX sends (Setup > MOX On)")
                    : QStringLiteral("TX is off: Alt-T sends");
}

void TransmitQueue::FeedKeyer() {
    if (feedBusy_) return;
    FeedOnce();
    TellWaitingHint();
}

void TransmitQueue::TellWaitingHint() {
    if (!waitingHintChanged) return;
    const QString hint = WaitingHint(HasTextToKey(), engine_.flags.Transmitting.load() != 0,
                                     engine_.flags.Paused.load() != 0, options_.TxAtKeyboard != 0);
    if (hint == waitingHint_) return;
    waitingHint_ = hint;
    waitingHintChanged(hint);
}

void TransmitQueue::FeedOnce() {
    const bool moxOn = engine_.keyerSettings.MoxOn.load() != 0;
    const bool transmitting = engine_.flags.Transmitting.load() != 0;
    const bool paused = engine_.flags.Paused.load() != 0;

    // Transmit on at a key press, after one word space that gives the transmitter time.
    if (moxOn && options_.TxAtKeyboard != 0 && !transmitting && !paused && HasTextToKey()) {
        if (engine_.mailbox.NextCodeEmpty()) Fill(CodeWordSpace);
        // ApplyTx switches the line on, after Transmitting.
        tx_.SetTxButton(true);
        tx_.ApplyTx();
        return;
    }
    BusyScope busy(feedBusy_);
    // Marks act once what stands before them has been keyed, whether text is fed or not.
    if (paused || !transmitting) {
        CutReachedMarks();
        return;
    }
    ExpandDeferredCommand();
    HandOverOne();
}

void TransmitQueue::ExpandDeferredCommand() {
    QTextDocument* doc = input_->document();
    const int length = Length(doc);
    if (length < 2) return;
    const QChar first = doc->characterAt(0);
    if ((first != kDeferredMark && first != kCommandMark) || doc->characterAt(1) != kCommandOpen) {
        return;
    }
    // The command runs to its first "]", or stops before a blank, a control character or
    // anything beyond ASCII.
    QString command;
    for (int i = 0; i < length; ++i) {
        const QChar c = doc->characterAt(i);
        if (c.unicode() < kDeferredFirst || c.unicode() > kDeferredLast) break;
        command.append(c);
        if (c == kCommandClose) break;
    }
    const int taken = static_cast<int>(command.size());
    command[0] = kCommandMark;

    std::u32string text = command.toStdU32String();
    macros_.ExpandDeferred(text);
    QString result = ToInputText(text);
    const int room = static_cast<int>(kInputMaxLength) - (length - taken);
    if (result.size() > room) result.truncate(std::max(0, room));

    const QTextCursor before = input_->textCursor();
    const int caret = before.selectionStart();
    const int selection = before.selectionEnd() - caret;
    const int delta = static_cast<int>(result.size()) - taken;

    QTextCursor edit(doc);
    edit.setPosition(0);
    edit.setPosition(taken, QTextCursor::KeepAnchor);
    edit.insertText(result);
    doc->clearUndoRedoStacks();

    const int newLength = Length(doc);
    const int start = std::clamp(caret + delta, 0, newLength);
    QTextCursor after = input_->textCursor();
    after.setPosition(start);
    after.setPosition(std::min(start + selection, newLength), QTextCursor::KeepAnchor);
    input_->setTextCursor(after);
    input_->ensureCursorVisible();
}

bool TransmitQueue::Fill(std::uint8_t code) {
    if (!engine_.HandOver(code)) return false;
    handedText_.clear();
    if (marks_ != nullptr) marks_->Handed(code);
    return true;
}

// An event mark waits at the front until everything handed over before it has been keyed and
// echoed; then it is cut and its action runs. False while a mark still waits.
bool TransmitQueue::CutReachedMarks() {
    QTextDocument* doc = input_->document();
    while (Length(doc) > 0) {
        const char16_t mark = MarkAt(doc, 0);
        if (!IsQueueEventMark(mark)) return true;
        if (marks_ == nullptr) {
            RemoveRange(doc, 0, 1);  // nobody to act on it: it keys nothing
            continue;
        }
        if (!marks_->Keyed() && !ReachedAtKeyUp(mark)) return false;
        // A mark's action may hand over a code: not before the keyer has seen a withdrawal.
        if (!engine_.mailbox.Fillable()) return false;
        RemoveRange(doc, 0, 1);
        doc->clearUndoRedoStacks();
        marks_->Reached(mark);
    }
    return true;
}

// A mark that acts at the last key-up: the one code still awaited has left the mailbox and
// the keyer has lifted the key after its last element.
bool TransmitQueue::ReachedAtKeyUp(char16_t mark) {
    if (!marks_->atKeyUp || !marks_->atKeyUp(mark) || marks_->Awaited() != 1 ||
        !engine_.mailbox.NextCodeEmpty()) {
        return false;
    }
    if (engine_.keyer.TextKeyedUp()) return true;
    if (marks_->waitingForKeyUp) marks_->waitingForKeyUp();
    return false;
}

// Input holds something to key, not only marks waiting for their place.
bool TransmitQueue::HasTextToKey() const {
    const QTextDocument* doc = input_->document();
    const int length = Length(doc);
    for (int i = 0; i < length; ++i) {
        if (!IsQueueEventMark(MarkAt(doc, i))) return true;
    }
    return false;
}

void TransmitQueue::HandOverOne() {
    QTextDocument* doc = input_->document();
    if (!engine_.mailbox.NextCodeEmpty() || !CutReachedMarks()) return;
    if (Length(doc) == 0) {
        if (marks_ != nullptr && marks_->Keyed() && marks_->drained) marks_->drained();
        return;
    }
    // A mark's action may have filled the mailbox itself, or holds the rest back a while.
    if (!engine_.mailbox.NextCodeEmpty()) return;
    if (marks_ != nullptr && engine_.keyer.TickCount() < marks_->HoldTick()) return;

    const QChar first = doc->characterAt(0);
    std::uint8_t code = CodeWordSpace;
    int taken = 1;
    if (IsLineBreak(first)) {
        if (!HalfSentBreakAtFront()) {
            if (!Fill(CodeWordSpace)) return;
            QTextCursor selected(doc);
            selected.setPosition(1, QTextCursor::KeepAnchor);
            halfSentBreaks_.push_back(selected);
            return;
        }
    } else if (first.isHighSurrogate() && Length(doc) > 1 && doc->characterAt(1).isLowSurrogate()) {
        const char32_t cp = QChar::surrogateToUcs4(first, doc->characterAt(1));
        code = CharToCode(UnicodeToCp1251(cp));
        taken = 2;
    } else if (IsQueueCodeChar(MarkAt(doc, 0))) {
        code = QueueCharToCode(first.unicode());
    } else {
        code = CharToCode(UnicodeToCp1251(first.unicode()));
    }
    // The code goes into the mailbox before the text is cut: the change event that the cut
    // raises must not find an empty queue and an empty mailbox and end transmission.
    if (!Fill(code)) return;
    for (int i = 0; i < taken; ++i) handedText_ += doc->characterAt(i);
    RemoveRange(doc, 0, taken);
    doc->clearUndoRedoStacks();
    input_->ensureCursorVisible();
    if (marks_ != nullptr && marks_->lastHanded && !HasTextToKey()) marks_->lastHanded();
}

// Whether the line break at the front has had its first word space; forgets the breaks that
// are gone.
bool TransmitQueue::HalfSentBreakAtFront() {
    const QTextDocument* doc = input_->document();
    bool atFront = false;
    std::erase_if(halfSentBreaks_, [&](const QTextCursor& c) {
        const bool gone = c.selectionEnd() - c.selectionStart() != 1 ||
                          !IsLineBreak(doc->characterAt(c.selectionStart()));
        if (!gone && c.selectionStart() == 0) atFront = true;
        return gone;
    });
    return atFront;
}

void TransmitQueue::StopSending() {
    if (engine_.StopSending() && marks_ != nullptr) marks_->Withdrawn();
    QTextDocument* doc = input_->document();
    QTextCursor cut(doc);
    cut.beginEditBlock();
    // From the end, so that the positions still to look at stay where they are.
    for (int end = Length(doc); end > 0;) {
        int start = end;
        while (start > 0 && !IsQueueEventMark(MarkAt(doc, start - 1))) --start;
        if (start < end) {
            cut.setPosition(start);
            cut.setPosition(end, QTextCursor::KeepAnchor);
            cut.removeSelectedText();
        }
        end = start - 1;
    }
    cut.endEditBlock();
    doc->clearUndoRedoStacks();
}

void TransmitQueue::TakeBackWaiting() {
    if (!engine_.WithdrawCode()) return;
    if (marks_ != nullptr) marks_->Withdrawn();
    if (handedText_.isEmpty()) return;
    // Put back without feeding: whoever took the code back decides when sending goes on.
    BusyScope busy(feedBusy_);
    QTextCursor front(input_->document());
    front.insertText(handedText_);
    input_->document()->clearUndoRedoStacks();
    handedText_.clear();
}

void TransmitQueue::AppendWithMarks(const QString& text) {
    QTextCursor end(input_->document());
    end.movePosition(QTextCursor::End);
    QTextCharFormat plain;
    QTextCharFormat mark;
    mark.setProperty(kQueueMarkProperty, true);
    BusyScope appending(appendingMarks_);
    end.beginEditBlock();
    qsizetype from = 0;
    while (from < text.size()) {
        const bool marks = IsPrivateUse(text[from]);
        qsizetype to = from;
        while (to < text.size() && IsPrivateUse(text[to]) == marks) ++to;
        end.insertText(text.mid(from, to - from), marks ? mark : plain);
        from = to;
    }
    end.endEditBlock();
}

char16_t TransmitQueue::MarkAt(const QTextDocument* doc, int position) {
    const QChar c = doc->characterAt(position);
    if (!IsPrivateUse(c)) return 0;
    QTextCursor after(const_cast<QTextDocument*>(doc));
    after.setPosition(position + 1);
    return after.charFormat().boolProperty(kQueueMarkProperty) ? c.unicode() : 0;
}

void TransmitQueue::NoteTypedRange(int position, int added) {
    if (appendingMarks_ || unmarking_ || added <= 0) return;
    typedFrom_ = typedFrom_ < 0 ? position : std::min(typedFrom_, position);
    typedTo_ = std::max(typedTo_, position + added);
}

// Text typed or pasted next to a mark takes on its format: a private-use character there is
// the operator's and keys as any character outside the code page.
void TransmitQueue::UnmarkTypedText() {
    if (typedFrom_ < 0) return;
    QTextDocument* doc = input_->document();
    const int to = std::min(typedTo_, Length(doc));
    const int from = typedFrom_;
    typedFrom_ = typedTo_ = -1;
    BusyScope busy(unmarking_);
    for (int i = from; i < to; ++i) {
        if (MarkAt(doc, i) == 0) continue;
        QTextCursor c(doc);
        c.setPosition(i);
        c.setPosition(i + 1, QTextCursor::KeepAnchor);
        c.setCharFormat(QTextCharFormat());
    }
}

void TransmitQueue::EchoSent() {
    if (echoBusy_) return;
    BusyScope busy(echoBusy_);

    std::uint8_t code = 0;
    if (engine_.ring.Pop(code)) {
        if (marks_ != nullptr) marks_->Echoed(code);
        const QString text = SentText(code);
        while (DisplayedLines(sent_) > kSentMaxLines) DropFirstSentLine();
        // A window wide enough to hold the whole limit in ten lines would otherwise refuse
        // every character from then on: older text makes room as it does for lines.
        for (;;) {
            const int excess = Length(sent_->document()) + static_cast<int>(text.size()) -
                               static_cast<int>(kSentMaxLength);
            if (excess <= 0) break;
            if (DisplayedLines(sent_) > 1) {
                DropFirstSentLine();
            } else {
                RemoveRange(sent_->document(), 0, std::min(excess, Length(sent_->document())));
                break;
            }
        }
        AppendSent(text);
    }

    if (engine_.keyerSettings.MoxOn.load() != 0 && options_.RxAtFreeBuffer != 0 &&
        engine_.flags.Transmitting.load() != 0 && engine_.flags.TxHeld.load() == 0 &&
        InputLength() == 0 && engine_.mailbox.NextCodeEmpty()) {
        Fill(CodeRx);
    }
}

bool TransmitQueue::DropFirstSentLine() {
    QTextDocument* doc = sent_->document();
    if (Length(doc) == 0) return false;
    const QTextBlock block = doc->firstBlock();
    doc->documentLayout()->blockBoundingRect(block);  // lays the block out if it is not yet
    const QTextLayout* layout = block.layout();
    if (layout != nullptr && layout->lineCount() > 1) {
        RemoveRange(doc, block.position(), block.position() + layout->lineAt(0).textLength());
    } else {
        RemoveRange(doc, 0, std::min(block.length(), Length(doc)));
    }
    return true;
}

void TransmitQueue::AppendSent(const QString& text) {
    const int room = static_cast<int>(kSentMaxLength) - Length(sent_->document());
    QTextCursor end(sent_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text.left(std::max(0, room)));
    // While the operator reads Sent from the keyboard, the caret stays where it is read.
    if (sent_->hasFocus()) return;
    sent_->setTextCursor(end);
    sent_->ensureCursorVisible();
}

int TransmitQueue::DisplayedLines(QPlainTextEdit* window) {
    QTextDocument* doc = window->document();
    QAbstractTextDocumentLayout* layout = doc->documentLayout();
    int lines = 0;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        if (!block.next().isValid() && block.length() <= 1) break;
        layout->blockBoundingRect(block);  // lays the block out if it is not yet
        lines += std::max(1, block.layout()->lineCount());
    }
    return lines;
}

bool TransmitQueue::EnforceInputLimit() {
    QTextDocument* doc = input_->document();
    const int length = Length(doc);
    const int excess = length - static_cast<int>(kInputMaxLength);
    if (excess <= 0) return false;
    // What goes beyond the limit is the end of the text that was just put in.
    const int end = std::clamp(lastChangeEnd_, excess, length);
    int start = end - excess;
    if (start > 0 && doc->characterAt(start).isLowSurrogate()) --start;
    RemoveRange(doc, start, end);
    return true;
}

void TransmitQueue::InputChange() {
    if (unmarking_) return;
    UnmarkTypedText();
    // The cut raises a change event of its own, which feeds the keyer.
    if (EnforceInputLimit()) return;
    FeedKeyer();
    EchoSent();
}

void TransmitQueue::AppIdle() {
    if (idleBusy_) return;
    BusyScope busy(idleBusy_);
    FeedKeyer();
    EchoSent();
}

void TransmitQueue::InstallAppIdle() {
    if (idleConnection_) return;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread());
    if (dispatcher == nullptr) return;
    idleConnection_ = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                              &TransmitQueue::AppIdle, Qt::DirectConnection);
}

void TransmitQueue::SentClick() {
    input_->setFocus(Qt::OtherFocusReason);
}

bool TransmitQueue::eventFilter(QObject* watched, QEvent* event) {
    if (watched == sent_->viewport() && event->type() == QEvent::MouseButtonRelease) SentClick();
    return QObject::eventFilter(watched, event);
}

}  // namespace telkey
