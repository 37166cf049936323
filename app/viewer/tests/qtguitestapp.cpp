#include "qtguitestapp.h"

namespace {

const auto* const kQtApplication = ::testing::AddGlobalTestEnvironment(new QtGuiTestApplication);

}   // namespace
