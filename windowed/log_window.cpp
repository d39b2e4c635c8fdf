#include "windowed/log_window.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>

namespace qv {

namespace {

// The engine's texts end lines in CR LF; the editor wants LF alone.
QString editorText(std::string_view text) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

}  // namespace

LogWindow::LogWindow(QWidget* parent) : QMdiSubWindow(parent), edit_(new QPlainTextEdit(this)) {
    setWindowTitle("Log Window");
    edit_->setReadOnly(true);
    edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    edit_->setUndoRedoEnabled(false);
    setWidget(edit_);
}

void LogWindow::append(std::string_view text) {
    QTextDocument* document = edit_->document();
    const int lines = document->blockCount();
    QTextCursor cursor(document);
    if (lines > kTrimAbove) {
        cursor.setPosition(document->findBlockByNumber(lines - kKeepLines).position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(editorText(text));
    edit_->setTextCursor(cursor);
    edit_->ensureCursorVisible();
}

int LogWindow::lineCount() const { return edit_->document()->blockCount(); }

QString LogWindow::text() const { return edit_->toPlainText(); }

void LogWindow::copyAll() {
    edit_->selectAll();
    edit_->copy();
}

void LogWindow::clear() {
    edit_->selectAll();
    edit_->clear();
}

}  // namespace qv
