// The left pane of the main window: the tree of the sources the user added,
// under one item "Root". The window is here so that the main frame's
// splitter holds it and messages can reach it; the tree's content comes with
// the source selection dialog.
#pragma once

#include "ui/common/CmdTarget.h"

#include <QTreeWidget>

namespace corvane::ui {

class CLeftView : public QTreeWidget, public CCmdTarget {
    Q_OBJECT

public:
    explicit CLeftView(QWidget* parent = nullptr);
    ~CLeftView() override;
};

} // namespace corvane::ui
