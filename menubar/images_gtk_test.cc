// GTK images that need no display: icon files checked with gdk-pixbuf, and
// the drawn letter written to a private PNG that goes with the image.
#include "menubar/images_gtk.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/testing/temp_dir.h"

// Drawing text loads fontconfig, whose caches live until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace velto {
namespace {

namespace fs = std::filesystem;

class ImagesGtkTest : public ::testing::Test {
 protected:
  test_support::TempDir temp_{"menubar-images"};
  const std::string dir_ = temp_.path();
};

TEST_F(ImagesGtkTest, DrawnLetterIsAPngThatLivesAsLongAsTheImage) {
  GtkImages images(dir_ + "/");
  std::string path;
  {
    ImagePtr image = images.drawnLetter("V");
    auto* icon = dynamic_cast<const GtkIconImage*>(image.get());
    ASSERT_NE(icon, nullptr);
    path = icon->icon();
    ASSERT_EQ(fs::path(path).parent_path(), fs::path(dir_));
    g_autoptr(GError) error = nullptr;
    g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &error);
    ASSERT_NE(pixbuf, nullptr) << (error ? error->message : "");
    EXPECT_EQ(gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf));
    EXPECT_TRUE(gdk_pixbuf_get_has_alpha(pixbuf));

    // The loaded file is then a valid icon file too, shown by absolute path.
    ImagePtr loaded = images.loadTemplate(path, 18);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(dynamic_cast<const GtkIconImage*>(loaded.get())->icon(), path);
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(ImagesGtkTest, FilesThatAreNotImagesDoNotLoad) {
  GtkImages images(dir_ + "/");
  std::ofstream(dir_ + "/broken.png") << "not a png";
  EXPECT_EQ(images.loadTemplate(dir_ + "/broken.png", 18), nullptr);
  EXPECT_EQ(images.loadTemplate(dir_ + "/missing.png", 18), nullptr);
}

}  // namespace
}  // namespace velto
