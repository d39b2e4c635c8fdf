// "Quorvane - Pause the server": the text new clients get while the server
// is paused, edited before pausing.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>

namespace qv {

class PauseDialog : public QDialog {
    Q_OBJECT
public:
    PauseDialog(const QString& page, QWidget* parent = nullptr);
    // The page as edited, at most kMaxPausedPage characters.
    QString page() const;

private:
    QPlainTextEdit* page_;
};

}  // namespace qv
