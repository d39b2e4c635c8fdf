#include "windowed/dns_cache_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/output.h"
#include "engine/quorvane.h"

namespace qv {

DnsCacheWindow::DnsCacheWindow(Engine& engine, QWidget* parent)
    : QDialog(parent), engine_(engine), list_(new QTreeWidget(this)) {
    setWindowTitle("DNS Cache");
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({"IP", "Hostname", "Age", "Hits"});
    int column = 0;
    for (int width : {100, 160, 60, 60}) list_->setColumnWidth(column++, width);
    auto* refreshButton = new QPushButton("Refresh View", this);
    connect(refreshButton, &QPushButton::clicked, this, &DnsCacheWindow::refresh);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(refreshButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(buttons);
    resize(420, 300);
    refresh();
}

void DnsCacheWindow::refresh() {
    list_->clear();
    const auto rows = hostCacheRows(engine_);
    if (rows.empty()) debugPrint("\r\nThere are no entries in the DNS cache yet.\r\n");
    for (const auto& row : rows) {
        auto* item = new QTreeWidgetItem(list_, {QString::fromStdString(row.address), QString::fromStdString(row.name),
                                                 QString::number(row.ageSeconds), QString::number(row.hits)});
        item->setTextAlignment(2, Qt::AlignRight);
        item->setTextAlignment(3, Qt::AlignRight);
    }
}

}  // namespace qv
