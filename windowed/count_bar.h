// The "Hit Count Bar": the engine's open, peak and total connection counts,
// the first two also as bars (0 to 128).
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QToolBar>

#include "engine/quorvane.h"

namespace qv {

class CountBar : public QToolBar {
    Q_OBJECT
public:
    static constexpr int kBarRange = 128;

    explicit CountBar(QWidget* parent = nullptr);

    // Shows what differs from the counts shown.
    void showCounts(const ConnectionCounts& counts);
    const ConnectionCounts& shown() const { return shown_; }

private:
    ConnectionCounts shown_;
    QLabel* open_;
    QLabel* peak_;
    QLabel* total_;
    QProgressBar* openBar_;
    QProgressBar* peakBar_;
};

}  // namespace qv
