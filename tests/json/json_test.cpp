#include <gtest/gtest.h>
#include "json/json.h"
TEST(Json, Smoke) { JsonDocument d; EXPECT_TRUE(data_json_parse(&d, "{}")); data_json_free(&d); }
