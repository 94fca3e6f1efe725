#pragma once

#include "Violations.h"

#include <gtest/gtest.h>

#include <string>

// A normal run breaks none of the chips' rules; a test whose run does fails,
// with the breaches the run committed first.
inline void expectNoViolations(const sim::Violations& violations, const std::string& run)
{
    if (violations.count() == 0)
        return;
    ADD_FAILURE() << run << " broke the chips' rules: " << violations.describe().join("\n  ").toStdString();
}
