#include "core/gui/frmNotice.h"

#include "ui_frmNotice.h"

namespace kv {

frmNotice::frmNotice(const Notice &notice, QWidget *parent)
    : QWidget(parent, Qt::Window), m_ui(std::make_unique<Ui::frmNotice>())
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // The launcher lives in the tray: closing the last notice must not end it.
    setAttribute(Qt::WA_QuitOnClose, false);
    // Designer keeps whole points only.
    QFont main = m_ui->noticeText->font();
    main.setPointSizeF(13.5);
    m_ui->noticeText->setFont(main);
    QFont second = m_ui->notice2->font();
    second.setPointSizeF(9.75);
    m_ui->notice2->setFont(second);

    setWindowTitle(notice.caption);
    m_ui->noticeText->setText(notice.noticeText);
    m_ui->notice2->setText(notice.notice2);
    connect(m_ui->Command1, &QPushButton::clicked, this, &QWidget::close);

    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &frmNotice::Timer1_Timer);
    m_timer.start();
}

frmNotice::~frmNotice() = default;

void frmNotice::Timer1_Timer()
{
    const bool done = m_countdown.tick();
    m_ui->countdownLabel->setText(m_countdown.text());
    if (done) {
        m_timer.stop();
        close();
    }
}

void QtNoticeSink::showNotice(const Notice &notice)
{
    auto *window = new frmNotice(notice);
    window->show();
}

} // namespace kv
