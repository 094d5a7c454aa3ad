#pragma once
#include "Precompiled.hpp"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
