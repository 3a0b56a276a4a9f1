#include "ui/sources/LeftView.h"

#include "ui/common/WindowMessages.h"

namespace corvane::ui {

CLeftView::CLeftView(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("CLeftView"));
    setHeaderHidden(true);
    setColumnCount(1);
    // Sources are added through WM_ADD_SOURCE; the handle clears itself when
    // the view is destroyed.
    g_hLeftView.Attach(this);
}

CLeftView::~CLeftView()
{
    // No message may reach the view once it is being taken apart.
    g_hLeftView.DetachIf(this);
}

} // namespace corvane::ui
