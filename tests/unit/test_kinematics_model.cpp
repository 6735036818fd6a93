#include <gtest/gtest.h>
#include <solver/kinematic_solver.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kShippedUrdf = KAV_SOURCE_DIR "/share/urdf/vorlan_v1.1_aa.urdf";

TEST(RobotDescription, EmbeddedTextHasTheDocumentedShape) {
  const std::string& text = kav::urdf_xml_g;
  EXPECT_EQ(text.size(), 7407u);
  EXPECT_EQ(text.rfind("\n<robot name=\"vorlan_v1.1_aa\">\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 9), "\n</robot>");
  EXPECT_EQ(text.find('\t'), std::string::npos);
  EXPECT_EQ(text.find("\r"), std::string::npos);
  EXPECT_EQ(text.find(" />"), std::string::npos);
}

TEST(RobotDescription, ShippedFileIsTheEmbeddedTextByteForByte) {
  const std::string file = readFile(kShippedUrdf);
  ASSERT_FALSE(file.empty()) << kShippedUrdf;
  EXPECT_EQ(file, kav::urdf_xml_g);
}

}  // namespace
