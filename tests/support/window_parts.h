#pragma once
// Everything a test of the main window reaches: the window, its pages and
// the widget classes it finds by objectName.

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSlider>
#include <QToolButton>
#include <QTreeView>

#include "app/browserpage.h"
#include "app/converterpage.h"
#include "app/downloadspanel.h"
#include "app/explorerpage.h"
#include "app/mainwindow.h"
#include "browser/webbrowser.h"
#include "convert/timelinemodel.h"
#include "engine/videoengine.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"
#include "support/widgets.h"
#include "widgets/buttons.h"
#include "widgets/downloadgrid.h"
#include "widgets/pathlabel.h"
#include "widgets/shelllist.h"
#include "widgets/statuslabel.h"
#include "widgets/taskpane.h"
