#include "AccessibleShortcuts.h"

#include <QAccessibleWidget>
#include <QCheckBox>
#include <QGroupBox>
#include <QKeySequence>

namespace {

// "&Log" -> "Log"; a doubled "&&" stays one "&".
QString WithoutMnemonic(QString aText)
{
  for (qsizetype At = aText.indexOf(u'&'); At >= 0 && At < aText.size(); At = aText.indexOf(u'&', At + 1))
    aText.remove(At, 1);
  return aText;
}

// What a caption's mnemonic is pressed as ("Alt+L"); none without one.
QStringList MnemonicOf(const QString &aText)
{
  const QKeySequence Keys = QKeySequence::mnemonic(aText);
  return Keys.isEmpty() ? QStringList() : QStringList(Keys.toString(QKeySequence::NativeText));
}

QString NameOr(const QWidget *aWidget, const QString &aCaption)
{
  return aWidget->accessibleName().isEmpty() ? WithoutMnemonic(aCaption) : aWidget->accessibleName();
}

class TGroupBoxAccessible : public QAccessibleWidget {
public:
  explicit TGroupBoxAccessible(QGroupBox *aBox) : QAccessibleWidget(aBox, QAccessible::Grouping) {}

  QString text(QAccessible::Text aText) const override
  {
    if (aText == QAccessible::Name)
      return NameOr(Box(), Box()->title());
    if (aText == QAccessible::Accelerator)
      return MnemonicOf(Box()->title()).value(0);
    return QAccessibleWidget::text(aText);
  }
  QStringList actionNames() const override
  {
    return Box()->isEnabled() && !MnemonicOf(Box()->title()).isEmpty() ? QStringList(setFocusAction())
                                                                        : QStringList();
  }
  // As the mnemonic does: the box hands the focus to a control inside it.
  void doAction(const QString &aAction) override
  {
    if (aAction == setFocusAction())
      Box()->setFocus(Qt::ShortcutFocusReason);
  }
  QStringList keyBindingsForAction(const QString &aAction) const override
  {
    return aAction == setFocusAction() ? MnemonicOf(Box()->title()) : QStringList();
  }

private:
  QGroupBox *Box() const { return static_cast<QGroupBox *>(widget()); }
};

class TCheckBoxAccessible : public QAccessibleWidget {
public:
  explicit TCheckBoxAccessible(QCheckBox *aBox) : QAccessibleWidget(aBox, QAccessible::CheckBox) {}

  QString text(QAccessible::Text aText) const override
  {
    if (aText == QAccessible::Name)
      return NameOr(Box(), Box()->text());
    // What the bridge announces for an action with no keys of its own.
    if (aText == QAccessible::Accelerator)
      return MnemonicOf(Box()->text()).value(0);
    return QAccessibleWidget::text(aText);
  }
  QAccessible::State state() const override
  {
    QAccessible::State State = QAccessibleWidget::state();
    State.checkable = true;
    State.checked = Box()->checkState() == Qt::Checked;
    State.checkStateMixed = Box()->checkState() == Qt::PartiallyChecked;
    return State;
  }
  QStringList actionNames() const override
  {
    return Box()->isEnabled() ? QStringList(toggleAction()) + QAccessibleWidget::actionNames()
                              : QAccessibleWidget::actionNames();
  }
  void doAction(const QString &aAction) override
  {
    if (aAction == toggleAction())
      Box()->click();
    else
      QAccessibleWidget::doAction(aAction);
  }
  QStringList keyBindingsForAction(const QString &aAction) const override
  {
    return aAction == toggleAction() ? MnemonicOf(Box()->text()) : QStringList();
  }

private:
  QCheckBox *Box() const { return static_cast<QCheckBox *>(widget()); }
};

QAccessibleInterface *Factory(const QString &aClass, QObject *aObject)
{
  if (aClass == QLatin1String("QGroupBox") && !static_cast<QGroupBox *>(aObject)->isCheckable())
    return new TGroupBoxAccessible(static_cast<QGroupBox *>(aObject));
  if (aClass == QLatin1String("QCheckBox"))
    return new TCheckBoxAccessible(static_cast<QCheckBox *>(aObject));
  return nullptr;
}

} // namespace

void InstallAccessibleShortcuts()
{
  static const bool Installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)Installed;
}
