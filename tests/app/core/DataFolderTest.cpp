#include "DataFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>


namespace {

TEST(DataFolder, chosen_folder_then_executable_folder_then_user_data_folder) {
  struct Case {
    const char *What;
    TDataFolderPlaces Places;
    QString Folder;
  };
  const Case cases[] = {
      {"a writable executable folder keeps the files beside the program",
       {"", "/opt/vyr", true, "/xdg", "/home/u"}, "/opt/vyr"},
      {"a read-only executable folder sends them to $XDG_DATA_HOME/vyr-mqtt",
       {"", "/usr/bin", false, "/xdg/data", "/home/u"}, "/xdg/data/vyr-mqtt"},
      {"without XDG_DATA_HOME: ~/.local/share/vyr-mqtt",
       {"", "/usr/bin", false, "", "/home/u"}, "/home/u/.local/share/vyr-mqtt"},
      {"a relative XDG_DATA_HOME is ignored",
       {"", "/usr/bin", false, "data", "/home/u"}, "/home/u/.local/share/vyr-mqtt"},
      {"the chosen folder wins over a writable executable folder",
       {"/srv/log", "/opt/vyr", true, "/xdg", "/home/u"}, "/srv/log"},
      {"the chosen folder wins over the user data folder",
       {"/srv/log/", "/usr/bin", false, "/xdg", "/home/u"}, "/srv/log"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(ChooseDataFolder(c.Places), c.Folder);
  }
}

TEST(DataFolder, system_program_folders_are_never_data_folders) {
  struct Case {
    QString Folder;
    bool System;
  };
  const Case cases[] = {
      {"/usr/bin", true},          {"/usr/bin/", true},     {"/usr/local/bin", true},
      {"/bin", true},              {VYR_INSTALL_BINDIR, true}, {"/opt/vyr", false},
      {"/home/u/vyr-mqtt", false}, {"/usr/bin/x", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Folder.toStdString());
    EXPECT_EQ(SystemProgramFolder(c.Folder), c.System);
  }
}

TEST(DataFolder, relative_chosen_folder_is_taken_from_the_current_folder) {
  EXPECT_EQ(ChooseDataFolder({"logs/../data", "/opt/vyr", true, "", "/home/u"}),
            QDir::cleanPath(QDir::current().filePath("data")));
}

TEST(DataFolder, places_come_from_the_process_and_its_environment) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QByteArray oldXdg = qgetenv("XDG_DATA_HOME"), oldHome = qgetenv("HOME");
  qputenv("XDG_DATA_HOME", dir.filePath("xdg").toUtf8());
  qputenv("HOME", dir.path().toUtf8());
  const TDataFolderPlaces places = CurrentDataFolderPlaces("chosen");
  qputenv("XDG_DATA_HOME", oldXdg);
  qputenv("HOME", oldHome);
  EXPECT_EQ(places.Chosen, "chosen");
  EXPECT_EQ(places.XdgDataHome, dir.filePath("xdg"));
  EXPECT_EQ(places.Home, dir.path());
  // This test program's own folder, where the build can write.
  EXPECT_EQ(places.ExecutableFolder, QFileInfo(VYR_TEST_BINARY_DIR).canonicalFilePath());
  EXPECT_TRUE(places.ExecutableFolderWritable);
}

} // namespace
