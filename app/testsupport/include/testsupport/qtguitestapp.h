#pragma once

#include <QCoreApplication>
#ifdef QT_GUI_LIB
#include <QGuiApplication>
#endif
#ifdef QT_WIDGETS_LIB
#include <QApplication>
#endif

#include <gtest/gtest.h>

#include <memory>

// One application object for the whole binary (fonts need it), made before any test.
// Test files that draw, make fonts or run the queue include this header. Binaries that link
// Qt Widgets get the widget application, which their widgets need; those with Qt Core alone
// get the core application.
class QtGuiTestApplication : public ::testing::Environment {
public:
#if defined(QT_WIDGETS_LIB)
    void SetUp() override
    {
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
#elif defined(QT_GUI_LIB)
    void SetUp() override
    {
        app_ = std::make_unique<QGuiApplication>(argc_, argv_);
    }
#else
    void SetUp() override
    {
        app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    }
#endif
    void TearDown() override
    {
        app_.reset();
    }

private:
    int argc_ = 1;
    char name_[8] = "kestro";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

inline const auto* const kQtGuiTestApplication = ::testing::AddGlobalTestEnvironment(new QtGuiTestApplication);
