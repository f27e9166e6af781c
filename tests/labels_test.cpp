#include "metadata/labels.hpp"

#include <gtest/gtest.h>

#include <set>

#include "platform/failure.hpp"

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

TEST(LabelLists, LayoutNamesPutTheirLabelsInAtTheirPlace) {
    using List = std::vector<std::uint32_t>;
    for (const auto& [typed, expected] : std::vector<std::pair<std::string, List>>{
             {"stereo", {1, 2}},
             {"STEREO", {1, 2}},
             {"ltrt", {38, 39}},
             {"5.1,LtRt", {1, 2, 3, 4, 5, 6, 38, 39}},
             {" 7.1 ", {1, 2, 3, 4, 5, 6, 33, 34}},
             {"Delivery", {1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39}},
             {"M,stereo,65537", {42, 1, 2, 65537}},
         })
        EXPECT_EQ(typedLabels(typed), expected) << typed;
    for (const std::string unknown : {"5.0", "5.1ch", "7.2", "stereo2", "Lt Rt"})
        EXPECT_THROW(typedLabels(unknown), Failure) << unknown;
}

}  // namespace
}  // namespace lanemark
