// The program manager window on Qt Widgets. One instance lives as long as the
// launcher; its widgets are created the first time the window is shown (the
// list is filled then), and from then on it is only shown and hidden.
//
//   kv::ThreadWorker programManagerWorker;
//   kv::Form1Window programManager(programs, shellConf, prompter, clock, programManagerWorker);
//   programs.setObserver(&programManager.observer());
//   ... the tray's "Manage Programs": programManager.showWindow();
//
// Until the first show the supervision's updates have nothing to update:
// the window shows the runners' whole output when it opens.
#pragma once

#include "core/windowsapi.h"
#include "programs/Form1.h"

#include <memory>

class QWidget;

namespace kv {

class Form1Widget;

class Form1Window final : public ProgramManagerWindow {
public:
    // `worker` runs the window's database work; it outlives the window.
    Form1Window(ManagedPrograms &programs, const LauncherSettings &shellConf, Prompter &prompter, Clock &clock,
                Worker &worker);
    ~Form1Window() override;

    // Creates the window on first use, then shows it and brings it forward.
    void showWindow() override;
    QString saveBeforeQuit(bool mayAsk) override { return m_logic.saveBeforeQuit(mayAsk); }

    // What the supervision pass reports to.
    ManagedProgramsObserver &observer() { return m_logic; }
    Form1 &logic() { return m_logic; }
    // The window's widget; nullptr until it was first shown.
    QWidget *widget() const;

private:
    Form1 m_logic;
    std::unique_ptr<Form1Widget> m_widget;
};

} // namespace kv
