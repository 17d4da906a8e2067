#pragma once
// Which folder the window's data files go to:
//  1. the folder the user chose (--data-dir);
//  2. else the executable's folder when this user may write there, so that a
//     copy run from a folder of its own keeps its data beside it; never the
//     system's program folders (/usr/bin ...), not even for root;
//  3. else the user's data folder, $XDG_DATA_HOME/vyr-mqtt, or
//     ~/.local/share/vyr-mqtt when that variable is unset or not absolute
//     (an installed program lives in a folder its users cannot write).

#include <QString>

struct TDataFolderPlaces {
  QString Chosen;                  // empty when the user chose none
  QString ExecutableFolder;
  bool ExecutableFolderWritable = false; // by this user, and not a system program folder
  QString XdgDataHome;             // $XDG_DATA_HOME as set, possibly empty
  QString Home;
};

QString ChooseDataFolder(const TDataFolderPlaces &aPlaces);

// Whether programs are installed there: this build's installation folder for
// programs, or one of the usual system ones.
bool SystemProgramFolder(const QString &aFolder);

// The places of this process: its executable's folder and its environment.
TDataFolderPlaces CurrentDataFolderPlaces(const QString &aChosen);

// ChooseDataFolder for this process.
QString DataFolderFor(const QString &aChosen);
