#ifndef VXPROGRESSDELEGATE_H
#define VXPROGRESSDELEGATE_H

#include <QStyledItemDelegate>

// Draws a progress bar in a cell whose VXUploadQueueModel::PercentRole holds a percent, with the
// style of the platform; any other cell is drawn as usual. One delegate for the whole column:
// the view stays a plain table, not a widget per row.
class VXProgressDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

#endif // VXPROGRESSDELEGATE_H
