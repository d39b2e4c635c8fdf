// The "Log Window": every diagnostic text, in a read-only editor that keeps
// the last lines.  Past kTrimAbove lines, the lines before the last
// kKeepLines go before the next text is added.
#pragma once

#include <QMdiSubWindow>
#include <QPlainTextEdit>

namespace qv {

class LogWindow : public QMdiSubWindow {
    Q_OBJECT
public:
    static constexpr int kTrimAbove = 250;
    static constexpr int kKeepLines = 200;

    explicit LogWindow(QWidget* parent = nullptr);

    // Adds the text at the end (CR LF and CR as line ends) and shows it.
    void append(std::string_view text);
    int lineCount() const;
    QString text() const;
    // Selects everything and copies it to the clipboard.
    void copyAll();
    void clear();

private:
    QPlainTextEdit* edit_;
};

}  // namespace qv
