#pragma once

// The version the updater gives in its banner and for -v and --version.
inline constexpr char kLumo3updateVersion[] = "3.0.0b";
