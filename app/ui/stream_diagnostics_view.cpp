#include "stream_diagnostics_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "theme.h"
#include "typography.h"

namespace {

QLabel* makeLabel(const char* name) {
    auto* label = new QLabel;
    label->setObjectName(QLatin1String(name));
    label->setFont(Typography::system(11));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Theme::textSecondary());
    label->setPalette(palette);
    return label;
}

}  // namespace

StreamDiagnosticsView::StreamDiagnosticsView(QWidget* parent)
    : QWidget(parent), line_(makeLabel("diagnosticsLine")), detail_(makeLabel("diagnosticsDetail")) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    // A link, so that the line reads as something to click, in the line's own colour.
    line_->setTextFormat(Qt::RichText);
    line_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    line_->setToolTip(tr("How the stream goes. Click for the totals since it began."));
    connect(line_, &QLabel::linkActivated, this, [this] { setOpen(!open_); });
    layout->addWidget(line_);

    detail_->setTextFormat(Qt::PlainText);
    detail_->setWordWrap(true);
    layout->addWidget(detail_);
    showFigures({});
}

void StreamDiagnosticsView::showFigures(const StreamFigures& figures) {
    figures_ = figures;
    showLine();
}

void StreamDiagnosticsView::setOpen(bool open) {
    open_ = open;
    showLine();
}

void StreamDiagnosticsView::showLine() {
    const QString colour = Theme::textSecondary().name();
    line_->setText(QStringLiteral("<a href=\"#\" style=\"color:%1; text-decoration:none\">%2 %3</a>")
                       .arg(colour, open_ ? QStringLiteral("▾") : QStringLiteral("▸"),
                            figures_.compactLine().toHtmlEscaped()));
    detail_->setText(figures_.detail());
    line_->setVisible(figures_.streaming);
    detail_->setVisible(figures_.streaming && open_);
}
