// "DNS Cache": the engine's host-name cache as a list, refilled on demand.
#pragma once

#include <QDialog>
#include <QTreeWidget>

namespace qv {

struct Engine;

class DnsCacheWindow : public QDialog {
    Q_OBJECT
public:
    DnsCacheWindow(Engine& engine, QWidget* parent = nullptr);
    // Refills the list ("Refresh View").
    void refresh();
    int rowCount() const { return list_->topLevelItemCount(); }

private:
    Engine& engine_;
    QTreeWidget* list_;
};

}  // namespace qv
