// The one Qt application object of a test program, made on first use.
#pragma once

namespace testsupport {

// App is QCoreApplication or QApplication. Never destroyed: at exit Qt's own
// statics (input devices, thread storage) may already be gone, and an
// application torn down after them crashes the run.
template <class App>
App &qtApp()
{
    static int argc = 1;
    static char name[] = "kv-test";
    static char *argv[] = {name, nullptr};
    static App *app = new App(argc, argv);
    return *app;
}

} // namespace testsupport
