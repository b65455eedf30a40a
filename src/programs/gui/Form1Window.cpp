#include "programs/gui/Form1Window.h"

#include "ui_Form1.h"

#include <QCloseEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>

namespace kv {

class Form1Widget final : public QWidget {
public:
    explicit Form1Widget(Form1 &logic) : m_logic(logic)
    {
        ui.setupUi(this);
        ui.lblStatus->hide();
        Form1 *l = &m_logic;
        connect(ui.lstPrograms, &QListWidget::currentRowChanged, this, [l](int row) { l->lstPrograms_Click(row); });
        // A click on the row already selected changes no row, and still
        // refreshes: the way to bring the buttons up to date by hand. (A
        // click on another row refreshes twice; the second writes nothing.)
        connect(ui.lstPrograms, &QListWidget::clicked, this,
                [l](const QModelIndex &index) { l->lstPrograms_Click(index.row()); });
        connect(ui.txtPName, &QLineEdit::textChanged, this, [l](const QString &t) { l->txtPName_Change(t); });
        connect(ui.txtPPath, &QLineEdit::textChanged, this, [l](const QString &t) { l->txtPPath_Change(t); });
        connect(ui.txtArgs, &QLineEdit::textChanged, this, [l](const QString &t) { l->txtArgs_Change(t); });
        connect(ui.txtWorking, &QLineEdit::textChanged, this, [l](const QString &t) { l->txtWorking_Change(t); });
        connect(ui.chkROS, &QCheckBox::toggled, this, [l](bool on) { l->chkROS_Click(on); });
        connect(ui.chkROF, &QCheckBox::toggled, this, [l](bool on) { l->chkROF_Click(on); });
        connect(ui.cmdAdd, &QPushButton::clicked, this, [l] { l->cmdAdd_Click(); });
        connect(ui.cmdRun, &QPushButton::clicked, this, [l] { l->cmdRun_Click(); });
        connect(ui.cmdStop, &QPushButton::clicked, this, [l] { l->cmdStop_Click(); });
        connect(ui.cmdClose, &QPushButton::clicked, this, [this] { close(); });

        // The database work runs on a worker; this timer takes what a job
        // found and hands over the next, and writes the edits the database
        // did not take once it answers again, also when nothing more is
        // typed. While a job runs it looks often, so that the status line
        // follows at once.
        m_tick.setInterval(kIdleTickMs);
        connect(&m_tick, &QTimer::timeout, this, [this] {
            m_logic.tick();
            m_tick.setInterval(m_logic.jobRunning() ? kBusyTickMs : kIdleTickMs);
        });
        m_tick.start();
    }

    // A job was handed over: its result is due within a round trip.
    void lookSoon()
    {
        if (m_tick.interval() != kBusyTickMs)
            m_tick.start(kBusyTickMs);
    }

    // Puts what the logic holds into the widgets. Signals are held back
    // meanwhile: the logic already knows, and raised its change handlers
    // itself where a value changed.
    void apply()
    {
        const Form1Controls &c = m_logic.controls();
        if (m_shownList != c.lstPrograms) {
            const QSignalBlocker block(ui.lstPrograms);
            ui.lstPrograms->clear();
            ui.lstPrograms->addItems(c.lstPrograms);
            m_shownList = c.lstPrograms;
        }
        if (ui.lstPrograms->currentRow() != c.selectedRow) {
            const QSignalBlocker block(ui.lstPrograms);
            ui.lstPrograms->setCurrentRow(c.selectedRow);
        }
        setText(ui.txtPName, c.txtPName);
        setText(ui.txtPPath, c.txtPPath);
        setText(ui.txtWorking, c.txtWorking);
        setText(ui.txtArgs, c.txtArgs);
        setCheck(ui.chkROS, c.chkROS);
        setCheck(ui.chkROF, c.chkROF);
        if (ui.chkROF->text() != c.chkROFCaption)
            ui.chkROF->setText(c.chkROFCaption);
        ui.cmdRun->setEnabled(c.cmdRunEnabled);
        ui.cmdRun->setVisible(c.cmdRunVisible);
        ui.cmdStop->setEnabled(c.cmdStopEnabled);
        ui.cmdStop->setVisible(c.cmdStopVisible);
        showOutput(c.txtOutput);
        if (ui.lblStatus->text() != c.status) {
            ui.lblStatus->setText(c.status);
            ui.lblStatus->setToolTip(c.status);
            ui.lblStatus->setVisible(!c.status.isEmpty());
        }
    }

protected:
    void closeEvent(QCloseEvent *event) override
    {
        // Closing only hides: the window keeps its state for the next show.
        event->ignore();
        hide();
        m_logic.cmdClose_Click();
    }

private:
    static void setText(QLineEdit *box, const QString &text)
    {
        if (box->text() == text)
            return;
        const QSignalBlocker block(box);
        box->setText(text);
    }

    static void setCheck(QCheckBox *box, bool on)
    {
        if (box->isChecked() == on)
            return;
        const QSignalBlocker block(box);
        box->setChecked(on);
    }

    // The newest output stays in view, as the caret follows it to the end.
    void showOutput(const QString &text)
    {
        if (text == m_shownOutput)
            return;
        QPlainTextEdit *box = ui.txtOutput;
        if (!m_shownOutput.isEmpty() && text.startsWith(m_shownOutput)) {
            QTextCursor end(box->document());
            end.movePosition(QTextCursor::End);
            end.insertText(text.mid(m_shownOutput.size()));
        } else {
            box->setPlainText(text);
        }
        m_shownOutput = text;
        box->moveCursor(QTextCursor::End);
        box->ensureCursorVisible();
    }

    Form1 &m_logic;
    Ui::Form1 ui;
    QStringList m_shownList;
    QString m_shownOutput;
    static constexpr int kIdleTickMs = 1000;
    static constexpr int kBusyTickMs = 20;
    QTimer m_tick;
};

Form1Window::Form1Window(ManagedPrograms &programs, const LauncherSettings &shellConf, Prompter &prompter,
                         Clock &clock, Worker &worker)
    : m_logic(programs, shellConf, prompter, clock, worker)
{
}

Form1Window::~Form1Window()
{
    m_logic.setOnChanged({});
    m_logic.setOnJobStarted({});
}

QWidget *Form1Window::widget() const
{
    return m_widget.get();
}

void Form1Window::showWindow()
{
    if (!m_widget) {
        m_widget = std::make_unique<Form1Widget>(m_logic);
        Form1Widget *w = m_widget.get();
        m_logic.setOnChanged([w] { w->apply(); });
        m_logic.setOnJobStarted([w] { w->lookSoon(); });
        m_logic.Form_Load();
        w->apply();
    }
    m_widget->setWindowState(m_widget->windowState() & ~Qt::WindowMinimized);
    m_widget->show();
    m_widget->raise();
    m_widget->activateWindow();
}

} // namespace kv
