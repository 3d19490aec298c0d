// One QApplication for a whole test program (offscreen), created before the first test.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace halvern::testing {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Tests never need a display, whatever the environment says.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (QApplication::instance() == nullptr) {
      static int argc = 1;
      static char name[] = "halvern-test";
      static char* argv[] = {name, nullptr};
      QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
      app_ = std::make_unique<QApplication>(argc, argv);
    }
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace halvern::testing
