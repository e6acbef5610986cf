// What every wizard page shares: the heading and side picture, the baseline, and the cancel
// confirmation.

#include "wizard/wiz_page.h"

#include <QFont>
#include <QLabel>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QVBoxLayout>
#include <QWizard>

namespace bxfr::wizard {

namespace {

// The side picture of the Welcome and Final pages: this computer, a file on its way, the server.
QPixmap SidePicture(const QFont& font) {
    const int unit = QFontMetrics(font).averageCharWidth();
    const int width = unit * 20;
    const int height = unit * 56;
    QPixmap picture(width, height);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(24, 74, 140));
    sky.setColorAt(1, QColor(86, 150, 214));
    painter.fillRect(picture.rect(), sky);
    const QColor light(240, 246, 252);
    painter.setPen(QPen(light, unit * 0.4));
    painter.setBrush(Qt::NoBrush);
    // The server: a cabinet with three drive bays.
    const QRectF cabinet(width * 0.28, height * 0.12, width * 0.44, height * 0.22);
    painter.drawRoundedRect(cabinet, unit, unit);
    for (int bay = 1; bay <= 3; ++bay) {
        const double y = cabinet.top() + cabinet.height() * bay / 4.0;
        painter.drawLine(QPointF(cabinet.left() + unit * 1.5, y), QPointF(cabinet.right() - unit * 1.5, y));
    }
    // This computer: a screen on a stand.
    const QRectF screen(width * 0.22, height * 0.64, width * 0.56, height * 0.16);
    painter.drawRoundedRect(screen, unit * 0.6, unit * 0.6);
    painter.drawLine(QPointF(width * 0.5, screen.bottom()), QPointF(width * 0.5, screen.bottom() + unit * 2));
    painter.drawLine(QPointF(width * 0.36, screen.bottom() + unit * 2),
                     QPointF(width * 0.64, screen.bottom() + unit * 2));
    // A file between them, with arrows both ways.
    const QRectF file(width * 0.38, height * 0.42, width * 0.24, height * 0.13);
    QPainterPath page;
    const double fold = file.width() * 0.3;
    page.moveTo(file.topLeft());
    page.lineTo(file.right() - fold, file.top());
    page.lineTo(file.right(), file.top() + fold);
    page.lineTo(file.bottomRight());
    page.lineTo(file.bottomLeft());
    page.closeSubpath();
    painter.setBrush(light);
    painter.drawPath(page);
    painter.setBrush(Qt::NoBrush);
    const double arrowX = width * 0.18;
    painter.drawLine(QPointF(arrowX, file.bottom()), QPointF(arrowX, file.top()));
    painter.drawLine(QPointF(arrowX, file.top()), QPointF(arrowX - unit, file.top() + unit * 1.2));
    painter.drawLine(QPointF(arrowX, file.top()), QPointF(arrowX + unit, file.top() + unit * 1.2));
    const double downX = width * 0.82;
    painter.drawLine(QPointF(downX, file.top()), QPointF(downX, file.bottom()));
    painter.drawLine(QPointF(downX, file.bottom()), QPointF(downX - unit, file.bottom() - unit * 1.2));
    painter.drawLine(QPointF(downX, file.bottom()), QPointF(downX + unit, file.bottom() - unit * 1.2));
    return picture;
}

}  // namespace

WizPage::WizPage(const WizardContext& context, const QString& heading, const QString& helpTopic,
                 bool bigHeading, QWidget* parent)
    : QWizardPage(parent), context_(context), helpTopic_(helpTopic) {
    auto* layout = new QVBoxLayout(this);
    heading_ = new QLabel(heading, this);
    heading_->setObjectName("heading");
    QFont font = heading_->font();
    font.setBold(true);
    if (bigHeading) font.setPointSize(12);
    heading_->setFont(font);
    heading_->setWordWrap(true);
    layout->addWidget(heading_);
    body_ = new QVBoxLayout;
    layout->addLayout(body_);
    layout->addStretch(1);
    if (bigHeading) setPixmap(QWizard::WatermarkPixmap, SidePicture(QWidget::font()));
}

bool WizPage::OnQueryCancel() {
    job::TransferJob typed = Job();
    StoreFields(typed);
    return ConfirmCancel(this, typed, Baseline());
}

void WizPage::ResetBaseline() const {
    Baseline().Reset();
    Baseline().CopyFrom(Job());
}

bool ConfirmCancel(QWidget* parent, const job::TransferJob& job, const job::TransferJob& baseline) {
    if (job == baseline) return true;
    return QMessageBox::question(parent, "Brindle FTP",
                                 "Some settings have been changed. Are you sure that you want to exit?",
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace bxfr::wizard
