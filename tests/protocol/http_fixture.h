// Shared set-up of the HTTP layer tests: a fresh state directory per test and
// an HTTPS wrapper that records the events it receives.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/component_fixture.h"
#include "tests/support/recording_https.h"

using tw_test::RecordingHttps;
using velmora::network::component::HttpComponent;
