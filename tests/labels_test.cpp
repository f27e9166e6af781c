#include "metadata/labels.hpp"

#include <gtest/gtest.h>

#include <set>

namespace lanemark {
namespace {

TEST(LabelCatalogue, LooksUpByValue) {
    EXPECT_EQ(choiceIndex(38), 6u);
    EXPECT_EQ(choices[*choiceIndex(38)].name, "Left Total");
    EXPECT_EQ(choiceIndex(42), 8u);
    EXPECT_EQ(choices[8].name, "Mono");
    for (std::uint32_t missing : {0u, 7u, 37u, 40u, 41u, 43u}) EXPECT_FALSE(choiceIndex(missing)) << missing;
}

TEST(LabelCatalogue, ValuesAreDistinct) {
    std::set<std::uint32_t> values;
    for (const auto& label : choices) values.insert(label.value);
    EXPECT_EQ(values.size(), choices.size());
    EXPECT_EQ(choices.size(), 9u);
}

TEST(DeliveryPreset, EveryValueIsInTheCatalogue) {
    const std::vector<std::string> expected{
        "Left",       "Right",       "Center",     "LFE",         "Left Back / Surround", "Right Back / Surround",
        "Left Total", "Right Total", "Left Total", "Right Total", "Left Total",           "Right Total"};
    for (std::size_t i = 0; i < preset.size(); ++i) {
        const auto index = choiceIndex(preset[i]);
        ASSERT_TRUE(index) << preset[i];
        EXPECT_EQ(choices[*index].name, expected[i]);
    }
}

}  // namespace
}  // namespace lanemark
