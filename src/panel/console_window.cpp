#include "console_window.h"

#include <mutex>
#include <string_view>

#include <QCloseEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "platform/console.h"

namespace panel_detail {

// Where trace writers leave their text. Shared with the platform layer's
// console hook, which may still hold it for a moment after the window closed,
// so it knows nothing about the window.
class ConsoleFeed final : public plat::ConsoleSink {
public:
    void Write(std::string_view text) override {
        std::lock_guard lock(mutex_);
        pending_.append(text);
        if (pending_.size() <= DebugConsole::kMaxPendingBytes) return;
        // Cutting to half rather than just below the limit keeps the cost of
        // moving the kept text rare while the window cannot keep up.
        std::size_t cut = pending_.size() - DebugConsole::kMaxPendingBytes / 2;
        const std::size_t lineStart = pending_.find('\n', cut);
        if (lineStart != std::string::npos && lineStart - cut < DebugConsole::kMaxLineChars)
            cut = lineStart + 1;
        pending_.erase(0, cut);
        dropped_ = true;
    }

    // Everything gathered since the last call; dropped tells whether text
    // was lost before it.
    std::string Take(bool& dropped) {
        std::lock_guard lock(mutex_);
        dropped = dropped_;
        dropped_ = false;
        std::string out;
        out.swap(pending_);
        return out;
    }

private:
    std::mutex mutex_;
    std::string pending_;
    bool dropped_ = false;
};

class ConsoleView final : public QPlainTextEdit {
public:
    explicit ConsoleView(std::function<void()> onControl) : onControl_(std::move(onControl)) {
        setReadOnly(true);
        setUndoRedoEnabled(false);
        setMaximumBlockCount(DebugConsole::kMaxLines);
        setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        setFont(fixed);
        const QFontMetrics m(fixed);
        resize(m.horizontalAdvance(QLatin1Char('0')) * 82 + verticalScrollBar()->sizeHint().width(),
               m.lineSpacing() * 25 + 8);
        timer_.setInterval(50);
    }

    QTimer& timer() { return timer_; }

protected:
    void closeEvent(QCloseEvent* e) override {
        // The window goes only with the program: the handler ends it.
        e->ignore();
        onControl_();
    }

    void keyPressEvent(QKeyEvent* e) override {
        // X11 reports Ctrl+Pause as the Break key sym, which Qt may leave
        // without a key code of its own.
        constexpr quint32 kXkBreak = 0xff6b;
        const bool ctrl = e->modifiers() & Qt::ControlModifier;
        if ((ctrl && e->key() == Qt::Key_Pause) || e->nativeVirtualKey() == kXkBreak) {
            e->accept();
            onControl_();
            return;
        }
        if (e->matches(QKeySequence::Copy)) {
            e->accept();
            copy();
            return;
        }
        QPlainTextEdit::keyPressEvent(e);
    }

private:
    std::function<void()> onControl_;
    QTimer timer_{this};
};

}  // namespace panel_detail

namespace {

// The length of the UTF-8 sequence that starts at s[i], 0 when the bytes
// there are not a valid sequence, or -1 when they are the valid start of a
// sequence cut off by the end of s.
int Utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    int len;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    for (int k = 1; k < len; ++k) {
        if (i + k >= s.size()) return -1;
        const auto b = static_cast<unsigned char>(s[i + k]);
        const bool ok = (k == 1) ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return 0;
    }
    return len;
}

void AppendHex(std::string& out, unsigned char b) {
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[b >> 4];
    out += digits[b & 15];
}

}  // namespace

DebugConsole::DebugConsole() = default;

DebugConsole::~DebugConsole() {
    if (open_) Close();
}

QPlainTextEdit* DebugConsole::View() const { return view_.get(); }

bool DebugConsole::Open() {
    if (open_) return false;
    if (!view_) {
        view_ = std::make_unique<panel_detail::ConsoleView>([this] {
            if (onControlEvent) onControlEvent();
        });
        QObject::connect(&view_->timer(), &QTimer::timeout, view_.get(), [this] { Drain(); });
    }
    view_->clear();
    column_ = 0;
    pendingCr_ = false;
    partialUtf8_.clear();
    view_->setWindowTitle(QString::fromStdString(title_));

    feed_ = std::make_shared<panel_detail::ConsoleFeed>();
    plat::AttachConsole(feed_);
    open_ = true;
    view_->show();
    view_->raise();
    view_->activateWindow();
    view_->timer().start();
    return true;
}

void DebugConsole::Close() {
    if (!open_) return;
    plat::AttachConsole(nullptr);
    feed_.reset();
    open_ = false;
    view_->timer().stop();
    view_->hide();
    view_->clear();
}

void DebugConsole::SetTitle(const std::string& title) {
    title_ = title;
    if (view_) view_->setWindowTitle(QString::fromStdString(title_));
}

void DebugConsole::Drain() {
    // A hidden or minimised window costs as much to feed as a visible one;
    // the buffer meanwhile keeps only the newest text.
    if (!open_ || !view_->isVisible() || view_->isMinimized()) return;
    bool dropped = false;
    std::string raw = feed_->Take(dropped);
    if (raw.empty() && !dropped) return;

    std::string out;
    out.reserve(raw.size() + raw.size() / 8 + 64);
    if (dropped) {
        if (column_ > 0) out += '\n';
        out += kDroppedMark;
        out += '\n';
        column_ = 0;
        pendingCr_ = false;
        partialUtf8_.clear();
    }
    if (!partialUtf8_.empty()) {
        raw.insert(0, partialUtf8_);
        partialUtf8_.clear();
    }

    // Starts a new line when a piece of the given width would pass the cap.
    auto room = [&](int width) {
        if (column_ + width > kMaxLineChars) {
            out += '\n';
            column_ = 0;
        }
        column_ += width;
    };
    const std::string_view s(raw);
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (pendingCr_) {
            pendingCr_ = false;
            if (b != '\n') {
                // A carriage return on its own (for example the echo of a
                // request's CR) is shown, not obeyed.
                room(4);
                AppendHex(out, '\r');
            }
        }
        if (b == '\r') {
            pendingCr_ = true;
            ++i;
        } else if (b == '\n') {
            out += '\n';
            column_ = 0;
            ++i;
        } else if (b == '\t' || (b >= 0x20 && b < 0x7F)) {
            room(1);
            out += static_cast<char>(b);
            ++i;
        } else if (b < 0x80) {
            room(4);
            AppendHex(out, b);
            ++i;
        } else {
            const int len = Utf8SequenceLength(s, i);
            if (len < 0) {
                // The rest of the character comes with the next write.
                partialUtf8_.assign(s.substr(i));
                break;
            }
            if (len == 0) {
                room(4);
                AppendHex(out, b);
                ++i;
            } else {
                room(1);
                out.append(s.substr(i, static_cast<std::size_t>(len)));
                i += static_cast<std::size_t>(len);
            }
        }
    }
    if (out.empty()) return;

    // When the new text alone fills the window, what is shown now would
    // scroll away at once: start from the lines that will remain.
    std::string_view shown(out);
    bool replace = false;
    int lines = 0;
    for (std::size_t pos = shown.size(); pos-- > 0;) {
        if (shown[pos] == '\n' && ++lines >= kMaxLines) {
            shown.remove_prefix(pos + 1);
            replace = true;
            break;
        }
    }

    QScrollBar* bar = view_->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    const QString text = QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
    if (replace) view_->clear();
    QTextCursor cursor(view_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    if (follow) bar->setValue(bar->maximum());
}
