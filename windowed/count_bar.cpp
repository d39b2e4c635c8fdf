#include "windowed/count_bar.h"

#include <tuple>

namespace qv {

namespace {

QLabel* countLabel(QWidget* parent) {
    auto* label = new QLabel("0", parent);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFixedWidth(label->fontMetrics().horizontalAdvance("0000000") + 8);
    return label;
}

QProgressBar* countBar(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, CountBar::kBarRange);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setFixedWidth(120);
    return bar;
}

}  // namespace

CountBar::CountBar(QWidget* parent)
    : QToolBar("Hit Count Bar", parent),
      open_(countLabel(this)),
      peak_(countLabel(this)),
      total_(countLabel(this)),
      openBar_(countBar(this)),
      peakBar_(countBar(this)) {
    setObjectName("HitCountBar");
    // Each count with its bar beside it: "Open: [n] [====]  Peak: ...".
    for (auto [text, count, bar] : {std::tuple<const char*, QLabel*, QProgressBar*> {"Open:", open_, openBar_},
                                    {"Peak:", peak_, peakBar_}, {"Total:", total_, nullptr}}) {
        auto* label = new QLabel(text, this);
        label->setContentsMargins(8, 0, 4, 0);
        addWidget(label);
        addWidget(count);
        if (bar) {
            addSeparator();
            addWidget(bar);
        }
    }
}

void CountBar::showCounts(const ConnectionCounts& counts) {
    if (counts.open != shown_.open) {
        open_->setNum(counts.open);
        openBar_->setValue(std::clamp(counts.open, 0, kBarRange));
    }
    if (counts.peak != shown_.peak) {
        peak_->setNum(counts.peak);
        peakBar_->setValue(std::clamp(counts.peak, 0, kBarRange));
    }
    if (counts.total != shown_.total) total_->setNum(counts.total);
    shown_ = counts;
}

}  // namespace qv
