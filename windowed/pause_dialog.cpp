#include "windowed/pause_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "engine/quorvane.h"

namespace qv {

PauseDialog::PauseDialog(const QString& page, QWidget* parent) : QDialog(parent), page_(new QPlainTextEdit(this)) {
    setWindowTitle("Quorvane - Pause the server");
    auto* text = new QLabel("You have chosen to pause the server.  The server will continue servicing current "
                            "connections, but will display the following message to new users.  Click OK to "
                            "pause the server.",
                            this);
    text->setWordWrap(true);
    page_->setPlainText(page.left(static_cast<qsizetype>(kMaxPausedPage)));
    // Longer text is cut as it is typed or pasted: the page has room for
    // kMaxPausedPage characters.
    connect(page_, &QPlainTextEdit::textChanged, this, [this] {
        const QString typed = page_->toPlainText();
        if (typed.size() <= static_cast<qsizetype>(kMaxPausedPage)) return;
        page_->setPlainText(typed.left(static_cast<qsizetype>(kMaxPausedPage)));
        page_->moveCursor(QTextCursor::End);
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(page_);
    layout->addWidget(buttons);
    resize(460, 260);
}

QString PauseDialog::page() const { return page_->toPlainText(); }

}  // namespace qv
