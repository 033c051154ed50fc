#include "qt_app.h"

#include <gtest/gtest.h>

TEST(Application, Builds) { twtest::App(); }
