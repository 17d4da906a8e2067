#include "DataFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace {

// The running program's own folder, also before the application object
// exists (--help names the data folder without starting the toolkit).
QString ExecutableFolder()
{
  return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
}

// Whether this user may create files there; asks the system, which also knows
// about read-only mounts and the rights of root.
bool FolderWritable(const QString &aFolder)
{
  return ::access(QFile::encodeName(aFolder).constData(), W_OK | X_OK) == 0;
}

} // namespace

bool SystemProgramFolder(const QString &aFolder)
{
  const QString Folder = QDir::cleanPath(aFolder);
  for (const char *System : {VYR_INSTALL_BINDIR, "/usr/bin", "/usr/local/bin", "/bin", "/usr/sbin", "/sbin"})
    if (Folder == QDir::cleanPath(QString::fromUtf8(System)))
      return true;
  return false;
}

QString ChooseDataFolder(const TDataFolderPlaces &aPlaces)
{
  if (!aPlaces.Chosen.isEmpty())
    return QDir::cleanPath(QDir(aPlaces.Chosen).absolutePath());
  if (aPlaces.ExecutableFolderWritable)
    return aPlaces.ExecutableFolder;
  // A relative XDG_DATA_HOME is invalid and is to be ignored.
  const QString Base = QDir::isAbsolutePath(aPlaces.XdgDataHome)
                           ? aPlaces.XdgDataHome
                           : QDir(aPlaces.Home).filePath(QStringLiteral(".local/share"));
  return QDir::cleanPath(QDir(Base).filePath(QStringLiteral("vyr-mqtt")));
}

TDataFolderPlaces CurrentDataFolderPlaces(const QString &aChosen)
{
  TDataFolderPlaces Places;
  Places.Chosen = aChosen;
  Places.ExecutableFolder = ExecutableFolder();
  Places.ExecutableFolderWritable =
      !SystemProgramFolder(Places.ExecutableFolder) && FolderWritable(Places.ExecutableFolder);
  Places.XdgDataHome = qEnvironmentVariable("XDG_DATA_HOME");
  Places.Home = QDir::homePath();
  return Places;
}

QString DataFolderFor(const QString &aChosen)
{
  return ChooseDataFolder(CurrentDataFolderPlaces(aChosen));
}
