#pragma once

#include <QCoreApplication>
#ifdef QT_GUI_LIB
#include <QGuiApplication>
#endif
#ifdef QT_WIDGETS_LIB
#include <QApplication>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>

#include "plat_temp_folder.h"

// One application object for the whole binary (fonts need it), made before any test.
// Test files that draw, make fonts or run the queue include this header. Binaries that link
// Qt Widgets get the widget application, which their widgets need; those with Qt Core alone
// get the core application. Without a runtime folder Qt would make one under the temporary
// folder and leave it there: the binary gets one of its own, removed when it ends.
class QtGuiTestApplication : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
            runtime_.emplace();
            runtimeEnv_.emplace("XDG_RUNTIME_DIR", runtime_->Path().c_str());
        }
#if defined(QT_WIDGETS_LIB)
        app_ = std::make_unique<QApplication>(argc_, argv_);
#elif defined(QT_GUI_LIB)
        app_ = std::make_unique<QGuiApplication>(argc_, argv_);
#else
        app_ = std::make_unique<QCoreApplication>(argc_, argv_);
#endif
    }
    void TearDown() override
    {
        app_.reset();
        runtimeEnv_.reset();
        runtime_.reset();
    }

private:
    int argc_ = 1;
    char name_[8] = "kestro";
    char* argv_[2] = {name_, nullptr};
    std::optional<PlatTempFolder> runtime_;
    std::optional<ScopedEnv> runtimeEnv_;
    std::unique_ptr<QCoreApplication> app_;
};

inline const auto* const kQtGuiTestApplication = ::testing::AddGlobalTestEnvironment(new QtGuiTestApplication);
