// The scan page: states, buttons, the scan's front end, the tree, the list and the statistics.
#include "app/scan_page.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QIcon>
#include <QLineEdit>
#include <QHBoxLayout>
#include <QStackedWidget>
#include <cstring>

#include "app/device_source.h"
#include "app/heif_image.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/print_wnd.h"
#include "app/recover_process_wnd.h"
#include "engine/backup_session.h"
#include "export/destination.h"
#include "export/print_page.h"
#include "export/recover_worker.h"
#include "platform/platform.h"
#include "platform/runtime_files.h"
#include "ui/popup.h"
#include "ui/skin.h"

namespace halvern::app {

namespace {

// While a stop waits for the worker, the window keeps repainting; input stays queued until the
// scan has ended.
void KeepPainting() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A message text, or `fallback` when the language file lacks it.
QString Text(const char* key, const char* fallback) {
  const QString text = ui::MessageText(key);
  return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}

// Categories whose pick shows the preview switch.
bool HasPreview(ScanCategory category) {
  switch (category) {
    case ScanCategory::kContacts:
    case ScanCategory::kCallHistory:
    case ScanCategory::kAppPhotos:
    case ScanCategory::kAppVideos:
      return false;
    default:
      return true;
  }
}

}  // namespace

QString FillMessage(const QString& format, const QStringList& args) {
  QString out;
  int next = 0;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c == QLatin1Char('%') && i + 1 < format.size()) {
      const QChar kind = format[i + 1];
      if ((kind == QLatin1Char('s') || kind == QLatin1Char('d')) && next < args.size()) {
        out += args[next++];
        ++i;
        continue;
      }
      if (kind == QLatin1Char('%')) {
        out += QLatin1Char('%');
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

CScanVrtWnd::CScanVrtWnd(QWidget* page, CMainWnd& main)
    : page_(page),
      main_(main),
      sequence_(
          std::make_unique<ScanSequence>(static_cast<ScanFrontEnd&>(*this), &main.Session())),
      results_(&sequence_->results()) {}

CScanVrtWnd::~CScanVrtWnd() {
  if (saveWidth_.isActive()) SavePreviewWidth();
  // The worker must end before the containers it fills and the page it reports to.
  sequence_.reset();
}

namespace {
constexpr int kDefaultPreviewWidth = 340;
constexpr int kMinPreviewWidth = 220;
constexpr const char* kWindowSection = "Window";
constexpr const char* kPreviewWidthKey = "PreviewWidth";
}  // namespace

void CScanVrtWnd::BuildPreviewSplitter() {
  QWidget* body = infoLayout_->parentWidget();
  auto* row = body != nullptr ? qobject_cast<QHBoxLayout*>(body->layout()) : nullptr;
  if (row == nullptr) return;
  // The list side: the hint panel or the list, and the preview switch beside them.
  auto* side = new QWidget(body);
  side->setObjectName(QStringLiteral("ListSide"));
  auto* sideRow = new QHBoxLayout(side);
  sideRow->setContentsMargins(0, 0, 0, 0);
  sideRow->setSpacing(0);
  splitter_ = new QSplitter(Qt::Horizontal, body);
  splitter_->setObjectName(QStringLiteral("PreviewSplitter"));
  splitter_->setChildrenCollapsible(false);
  splitter_->setHandleWidth(6);
  for (QWidget* w : {infoLayout_, dataLayout_, switchLayout_}) {
    row->removeWidget(w);
    sideRow->addWidget(w, w == switchLayout_ ? 0 : 1);
  }
  // The list's tool bar gives way to the pane without cutting a word: the filter's words wrap
  // onto a second line (the bar grows in height for it), and the search field narrows (the
  // filter's count takes only the room left, shortened with its whole text in its tool tip).
  if (auto* words = page_->findChild<QLabel*>(QStringLiteral("PageScanDesc4"))) {
    words->setWordWrap(true);
    // The words take the bar's free room first (before the search field grows), so that they
    // wrap only when it runs out.
    QWidget* filterBar = words->parentWidget();
    if (auto* bar = qobject_cast<QBoxLayout*>(filterBar->layout())) bar->setStretchFactor(words, 1);
    if (auto* bar = qobject_cast<QBoxLayout*>(listBar_->layout())) bar->setStretchFactor(filterBar, 1);
  }
  listBar_->setMaximumHeight(QWIDGETSIZE_MAX);
  row->removeWidget(previewLayout_);
  previewLayout_->setMinimumWidth(kMinPreviewWidth);
  previewLayout_->setMaximumWidth(QWIDGETSIZE_MAX);
  splitter_->addWidget(side);
  splitter_->addWidget(previewLayout_);
  splitter_->setStretchFactor(0, 1);
  splitter_->setStretchFactor(1, 0);
  row->addWidget(splitter_, 1);

  const std::string config = platform::ReadFile(platform::ConfigFile()).value_or(std::string());
  const int stored = QString::fromStdString(
                         platform::IniValue(config, kWindowSection, kPreviewWidthKey).value_or(""))
                         .toInt();
  previewWidth_ = stored >= kMinPreviewWidth ? stored : kDefaultPreviewWidth;
  saveWidth_.setSingleShot(true);
  saveWidth_.setInterval(600);
  QObject::connect(&saveWidth_, &QTimer::timeout, &context_, [this] { SavePreviewWidth(); });
  QObject::connect(splitter_, &QSplitter::splitterMoved, &context_, [this] {
    if (!previewLayout_->isVisible()) return;
    previewWidth_ = previewLayout_->width();
    saveWidth_.start();
  });
}

void CScanVrtWnd::ApplyPreviewWidth() {
  if (splitter_ == nullptr || !previewLayout_->isVisibleTo(splitter_)) return;
  const int total = splitter_->width() - splitter_->handleWidth();
  // The list keeps room of its own however wide the pane was left.
  const int width = std::min(previewWidth_, std::max(kMinPreviewWidth, total - 360));
  splitter_->setSizes({std::max(total - width, 0), width});
}

void CScanVrtWnd::SavePreviewWidth() {
  saveWidth_.stop();
  const std::filesystem::path user = platform::UserConfigFile();
  if (user.empty()) return;
  std::string error;
  platform::SetUserConfigValue(user, platform::DataFolder() / "config.ini", kWindowSection,
                               kPreviewWidthKey, std::to_string(previewWidth_), error);
}

bool CScanVrtWnd::InitPage(QStringList* missing) {
  ui::ControlBinder bind(page_, QStringLiteral("PageScan.xml"));
  scanBar_ = bind.Get<QWidget>("ScanToolBar");
  gifScanning_ = bind.Get<ui::ButtonGif>("BtnGifScanning");
  scanType_ = bind.Get<QLabel>("LblScanType");
  progress_ = bind.Get<QProgressBar>("ProgressScan");
  bind.Get<QLabel>("LblWaitDesc");
  percent_ = bind.Get<QLabel>("LblPercent");
  pause_ = bind.Get<QPushButton>("BtnScanPause");
  bind.Get<QPushButton>("BtnScanStop");
  recoveryBar_ = bind.Get<QWidget>("ReocveryToolBar");
  remark_ = bind.Get<QLabel>("LblRemark");
  remarkIcon_ = bind.Get<QLabel>("LblRemarkIcon");
  auto* nodeTree = bind.Get<ui::FileTree>("NodeTree");
  infoLayout_ = bind.Get<QWidget>("iPhoneInfoLayout");
  desc1_ = bind.Get<QLabel>("PageScanDesc1");
  desc2_ = bind.Get<QLabel>("PageScanDesc2");
  desc3_ = bind.Get<QLabel>("PageScanDesc3");
  bind.Get<QLabel>("PageScanDesc4");
  auto* filterCount = bind.Get<QLabel>("LblFilterCount");
  statistics_ = bind.Get<QLabel>("LblStatistics");
  gifLoading_ = bind.Get<ui::ButtonGif>("BtnGifLoading");
  dataLayout_ = bind.Get<QWidget>("DataListLayout");
  listBar_ = bind.Get<QWidget>("DataListToolBar");
  filterBar_ = bind.Get<QWidget>("FilterToolBar");
  switchLayout_ = bind.Get<QWidget>("SwitchLayout");
  previewLayout_ = bind.Get<QWidget>("PreviewLayout");
  bind.Get<QWidget>("DataListHeader");
  filter_ = bind.Get<QPushButton>("OptOnOffFilter");
  print_ = bind.Get<QPushButton>("BtnPrint");
  backAppDir_ = bind.Get<QPushButton>("BtnBackAppDir");
  preview_ = bind.Get<QPushButton>("OptOnOffPreview");
  home_ = bind.Get<QPushButton>("BtnHome");
  recovery_ = bind.Get<QPushButton>("BtnRecovery");
  auto* dataList = bind.Get<QTreeView>("DataList");
  auto* checkAll = bind.Get<QCheckBox>("CheckAll");
  std::vector<QLabel*> headers;
  for (const char* name : {"Col1", "Col2", "Col3", "Col4", "Col5", "Col6"}) {
    headers.push_back(bind.Get<QLabel>(name));
  }
  search_ = bind.Get<QLineEdit>("EditSearch");
  heicJpeg_ = bind.Get<QCheckBox>("ChkHeicJpeg");
  bind.Get<QTextEdit>("PreviewEdit");
  bind.Get<QListWidget>("MessagesList");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }

  // The deleted filter's count stands in the free room of the "Select all" row, where it is read
  // whole, not between the filter's words and the buttons of the tool bar.
  if (auto* header = page_->findChild<QWidget*>(QStringLiteral("DataListHeader"))) {
    auto* headerRow = qobject_cast<QBoxLayout*>(header->layout());
    auto* barRow = qobject_cast<QBoxLayout*>(filterCount->parentWidget()->layout());
    if (headerRow != nullptr && barRow != nullptr) {
      barRow->removeWidget(filterCount);
      filterCount->setParent(header);
      headerRow->insertSpacing(1, 16);
      headerRow->insertWidget(2, filterCount, 1);
    }
  }
  tree_ = std::make_unique<CFileTreeCtrl>(nodeTree);
  tree_->Build();
  tree_->onPick = [this](ScanCategory category) { PickCategory(category); };
  tree_->onPickView = [this](ScanCategory category, int view) { PickCategory(category, view); };
  tree_->onCheck = [this](ScanCategory category, bool on) { OnCategoryCheck(category, on); };
  list_ = std::make_unique<CFileListCtrl>(dataList, checkAll, headers, filterCount,
                                          sequence_->results(), rows_, selection_);
  list_->onSelectionChanged = [this] { AfterSelectionChange(); };
  list_->BindSearch(search_);
  // The timeline's list stands where the category list stands, shown instead of it.
  {
    auto* view = new QTreeView(dataList->parentWidget());
    view->setObjectName(QStringLiteral("TimelineList"));
    view->hide();
    if (auto* box = qobject_cast<QBoxLayout*>(dataList->parentWidget()->layout())) {
      box->insertWidget(box->indexOf(dataList) + 1, view, 1);
    }
    timeline_ = std::make_unique<CTimelineList>(view);
    timeline_->onOpen = [this](ScanCategory category, const void* item) {
      pane_->ResetPane();
      pane_->PreviewItem(category, item, false, Results());
    };
    tree_->onPickTimeline = [this] { PickTimeline(); };
  }
  // A double click or Enter on an app's row opens its files.
  QObject::connect(dataList, &QTreeView::activated, &context_, [this](const QModelIndex& i) {
    if (list_->OpenApp(list_->SourceRow(i))) backAppDir_->show();
  });
  QObject::connect(dataList->selectionModel(), &QItemSelectionModel::currentRowChanged, &context_,
                   [this](const QModelIndex& current) {
                     if (current.isValid()) PreviewRow(list_->SourceRow(current));
                   });
  pane_ = std::make_unique<CPreviewVrtWnd>(&main_, main_.Session());
  pane_->unlockNotes = [this](const std::string& password) {
    // Opening notes changes them in the results: a search reading them ends first.
    if (searchAll_) searchAll_->Halt();
    const NoteUnlockCount count = sequence_->UnlockNotes(password);
    RefreshOpenedNotes();
    return count;
  };
  if (!pane_->BindPane(page_, missing)) return false;
  searchAll_ = std::make_unique<CSearchPanel>(nodeTree, sequence_->results());
  BuildPreviewSplitter();
  // The hits take the list's place on the list side, beside the preview pane.
  if (auto* side = qobject_cast<QBoxLayout*>(dataLayout_->parentWidget()->layout())) {
    side->insertWidget(side->indexOf(dataLayout_) + 1, searchAll_->panel(), 1);
  }
  searchAll_->onShow = [this] { ShowSearch(true); };
  searchAll_->onCleared = [this] { ShowSearch(false); };
  searchAll_->onPreview = [this](const SearchHit& hit) {
    const bool conversation =
        hit.category == ScanCategory::kMessages || hit.category == ScanCategory::kWhatsApp;
    pane_->ResetPane();
    pane_->SetPaneView(true, !conversation);
    ApplyPreviewWidth();
    pane_->PreviewItem(hit.category, HitItem(hit), false, Results());
  };
  searchAll_->onOpen = [this](const SearchHit& hit) { OpenHit(hit); };
  print_->setEnabled(false);
  // The statistics line takes the free width of the bottom bar (two lines only when needed).
  statistics_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  ApplyPageTexts();
  return true;
}

namespace {
// A wrapping label is kept at least as wide as its text on two lines, so that a narrow list
// wraps it once rather than word by word.
void KeepToTwoLines(QLabel* label) {
  const QFontMetrics fm(label->font());
  const QString text = label->text();
  int low = 1, high = fm.horizontalAdvance(text) + 1;
  while (low < high) {
    const int mid = (low + high) / 2;
    const QRect r = fm.boundingRect(QRect(0, 0, mid, 10000), Qt::TextWordWrap, text);
    if (r.height() <= 2 * fm.lineSpacing() && r.width() <= mid) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  label->setMinimumWidth(high);
}
}  // namespace

void CScanVrtWnd::ApplyPageTexts() {
  ui::ApplyTexts(page_, ui::Texts().Section("PageScan"), QStringLiteral("LblStatistics"));
  if (auto* words = page_->findChild<QLabel*>(QStringLiteral("PageScanDesc4"))) {
    KeepToTwoLines(words);
  }
  pause_->setText(ui::MessageText(paused ? "MSG0506" : "MSG0507"));
  if (search_ != nullptr) {
    // The field narrows for the preview pane, never below its placeholder's words (and the
    // clear button beside them).
    search_->setPlaceholderText(Text("MSG0540", "Search this list"));
    search_->setMinimumWidth(
        std::max(110, search_->fontMetrics().horizontalAdvance(search_->placeholderText()) + 44));
  }
  if (searchAll_) searchAll_->ApplyTexts();
  ApplyModeTexts();
  UpdateStatistics();
  if (pane_) pane_->ApplyPaneTexts();
}

void CScanVrtWnd::ApplyModeTexts() {
  const bool backup = mode == 1;
  gifScanning_->SetNormalGifFile(backup ? QStringLiteral("iTunesScanning.gif")
                                        : QStringLiteral("DeviceScanning.gif"));
  scanType_->setText(ui::MessageText(backup ? "MSG0501" : "MSG0503"));
  ui::SetElidedText(remark_, ui::MessageText(backup ? "MSG0502" : "MSG0504"));
}

// ----- Scan front end (worker thread) ------------------------------------------------------

void CScanVrtWnd::Queue(std::function<void()> work) {
  const uint64_t generation = liveGeneration_.load();
  QMetaObject::invokeMethod(
      &context_,
      [this, generation, work = std::move(work)] {
        if (generation == generation_) work();
      },
      Qt::QueuedConnection);
}

// The scan's notices pass to the main window by number unchanged.
static_assert(ui::kWmStartScan == WM_START_SCAN && ui::kWmScanRefreshTree == WM_SCAN_REFRESH_TREE &&
              ui::kWmScanSelectFirst == WM_SCAN_SELECT_FIRST &&
              ui::kWmScanFinished == WM_SCAN_FINISHED && ui::kWmScanStatus == WM_SCAN_STATUS);

void CScanVrtWnd::Post(int32_t message, int32_t wParam) {
  // Through the same queue as the page's own work, so that a notice never overtakes the
  // update it follows.
  Queue([this, message, wParam] { main_.Post(message, wParam); });
}

void CScanVrtWnd::OnScanStarted() {
  Queue([this] {
    infoLayout_->show();
    dataLayout_->hide();
  });
}

void CScanVrtWnd::OnProgressShown(int32_t percent) {
  Queue([this, percent] {
    progress_->setValue(percent);
    percent_->setText(QStringLiteral("%1%").arg(percent));
  });
}

// The worker has just completed the category's container and does not touch it again: the
// record rows are built and pre-sorted here, off the user-interface thread.
void CScanVrtWnd::OnCategoryReady(ScanCategory category) {
  const ScanResults& r = sequence_->results();
  auto prepared = std::make_shared<CategoryRows>();
  switch (category) {
    case ScanCategory::kMessages:
      prepared->conversations = ConversationRows(r.messages);
      prepared->conversationMarks = ConversationMarks(r.messages);
      break;
    case ScanCategory::kWhatsApp:
      prepared->chats = ChatRows(r.whatsApp);
      prepared->chatMarks = ChatMarks(r.whatsApp);
      break;
    case ScanCategory::kContacts:
      prepared->contacts = r.contacts;
      PreSortContacts(prepared->contacts);
      break;
    case ScanCategory::kCallHistory:
      prepared->calls = r.calls;
      PreSortCalls(prepared->calls);
      break;
    case ScanCategory::kNotes:
      prepared->notes = r.notes;
      PreSortNotes(prepared->notes);
      break;
    default:
      break;
  }
  Queue([this, category, prepared] { AddCategory(category, std::move(*prepared)); });
}

bool CScanVrtWnd::HasSelectedNode() const { return tree_ && tree_->HasSelectedNode(); }

void CScanVrtWnd::OnCategoryScanned(ScanCategory category) {
  // The worker has just written the category's notice (and writes no other meanwhile). The
  // results are reached through their own address: the sequence's owner may be letting it go
  // while its worker still ends.
  const auto& notices = results_->notices;
  const auto found = notices.find(category);
  std::string notice = found == notices.end() ? std::string() : found->second;
  Queue([this, category, notice = std::move(notice)] {
    scanned_.insert(category);
    tree_->SetNotice(category, notice);
  });
}

// The category is complete: its rows (pre-sorted on the worker) join the selection, and then
// its tree row becomes clickable.
void CScanVrtWnd::AddCategory(ScanCategory category, CategoryRows prepared) {
  const ScanResults& r = sequence_->results();
  using C = ScanCategory;
  size_t count = 0;
  switch (category) {
    case C::kCameraRoll:
      selection_.AddFiles(category, r.cameraRoll);
      count = r.cameraRoll.size();
      break;
    case C::kPhotoStream:
      selection_.AddFiles(category, r.photoStream);
      count = r.photoStream.size();
      break;
    case C::kMessageAttachments:
      selection_.AddFiles(category, r.messageAttachments);
      count = r.messageAttachments.size();
      break;
    case C::kWhatsAppAttachments:
      selection_.AddFiles(category, r.whatsAppAttachments);
      count = r.whatsAppAttachments.size();
      break;
    case C::kAppPhotos:
    case C::kAppVideos: {
      const AppFileMap& apps = category == C::kAppPhotos ? r.appPhotos : r.appVideos;
      selection_.AddApps(category, apps);
      for (const auto& [app, files] : apps) count += files.size();
      break;
    }
    case C::kMessages:
      rows_.conversationMarks = std::move(prepared.conversationMarks);
      rows_.conversations = std::move(prepared.conversations);
      selection_.AddConversations(rows_.conversations);
      count = rows_.conversations.size();
      break;
    case C::kWhatsApp:
      rows_.chatMarks = std::move(prepared.chatMarks);
      rows_.chats = std::move(prepared.chats);
      selection_.AddChats(rows_.chats);
      count = rows_.chats.size();
      break;
    case C::kContacts:
      rows_.contacts = std::move(prepared.contacts);
      selection_.AddContacts(rows_.contacts);
      count = rows_.contacts.size();
      break;
    case C::kCallHistory:
      rows_.calls = std::move(prepared.calls);
      selection_.AddCalls(rows_.calls);
      count = rows_.calls.size();
      break;
    case C::kNotes:
      rows_.notes = std::move(prepared.notes);
      selection_.AddNotes(rows_.notes);
      count = rows_.notes.size();
      break;
    default:
      // A table category: its rows stay in the results, where the selection keys them.
      if (const CategoryTable* table = r.Table(category)) {
        selection_.AddTable(category, *table);
        count = table->rows.size();
        const TableCategory* kind = TableCategoryOf(category);
        if (kind != nullptr && kind->views != nullptr && count > 0) {
          views_[category] = kind->views(*table);
          tree_->SetViews(category, views_[category]);
        }
      }
      break;
  }
  selection_.Recount();
  counts_[category] = count;
  if (count == 0) return;
  if (!anyReady_) {
    anyReady_ = true;
    firstReady_ = category;
  }
  tree_->Enable(category);
  UpdateStatistics();
  UpdateRecoverButton();
}

// ----- Window messages ---------------------------------------------------------------------

void CScanVrtWnd::RefreshTreeCounts() { tree_->RefreshCounts(counts_); }

void CScanVrtWnd::SelectFirstNode() {
  if (anyReady_) tree_->SelectFirst(firstReady_);
}

void CScanVrtWnd::OnScanFinished() {
  searchAll_->SetEnabled(true);
  scanBar_->hide();
  recoveryBar_->show();
  listBar_->show();
  // Closing the session also sets back a backup password taken off for this scan.
  main_.Device().Close();
  StopAnimations();
  home_->setEnabled(true);
  ShowOutcome();
  tree_->RefreshCounts(counts_);
  tree_->SetTimeline(timeline_->Fill(&sequence_->results()));
  UpdateRecoverButton();
  UpdateStatistics();
  // A database that lies in the backup but could not be read is told, never shown as an
  // empty category: which one, and why.
  if (!sequence_->results().errors.empty()) {
    QStringList lines;
    for (const auto& [category, text] : sequence_->results().errors) {
      lines << QStringLiteral("%1: %2").arg(CategoryLabel(category), Q(text));
    }
    ui::ShowMessageBox(ui::kBoxWarning, &main_, std::nullopt,
                       FillMessage(ui::MessageText("MSG0521"), {lines.join(QLatin1Char('\n'))}),
                       550, 240);
  }
  const int32_t restore = mode == 0 ? main_.Device().PasswordRestoreResult() : 0;
  if (restore != 0) {
    ui::ShowMessageBox(ui::kBoxWarning, &main_, std::nullopt,
                       FillMessage(ui::MessageText("MSG0515"), {QString::number(restore)}), 550,
                       200);
  }
}

QString CScanVrtWnd::OpenFailureText() const {
  const int32_t code = sequence_->openResult();
  switch (code) {
    case kOk:
    case kStopped:
    case kDeviceGone:
    case kWrongPassword:
      return {};
    case kManifestOpenFailed:
      return Text("MSG0531", "its list of files (Manifest.db) cannot be opened");
    case kQueryFailed:
      return Text("MSG0532", "its list of files cannot be read");
    case kInvalidParameter:
      return Text("MSG0533", "a file the scan needs is missing or unreadable");
    case kReadFault:
      return Text("MSG0534", "a file of it could not be read completely");
    default:
      break;
  }
  if (code > 0) return QString::fromLocal8Bit(std::strerror(code));
  return FillMessage(Text("MSG0535", "code %d"), {QString::number(code)});
}

QString CScanVrtWnd::OutcomeText() const {
  switch (outcome_) {
    case ScanOutcome::kNone:
      return {};
    case ScanOutcome::kFinished:
      return ui::MessageText(mode == 1 ? "MSG0502" : "MSG0504");
    case ScanOutcome::kStopped:
      return Text("MSG0520", "You stopped the scan. Only the categories read before are shown.");
    case ScanOutcome::kOpenFailed:
      return FillMessage(Text("MSG0525", "The backup could not be opened: %s."),
                         {OpenFailureText()});
    case ScanOutcome::kDeviceGone:
      return Text("MSG0522",
                  "The iPhone was disconnected, so the scan ended early. Only the categories "
                  "read before are shown.");
  }
  return {};
}

// The scan has ended: its outcome in the top bar and the hint panel (no spinner, no "being
// scanned"), and the categories it never reached marked so in the tree.
void CScanVrtWnd::ShowOutcome() {
  const int32_t open = sequence_->openResult();
  // A stop the user asked for is told as such even when the phone's backup, stopped by it,
  // answers "device gone".
  if (stopAsked_) {
    outcome_ = ScanOutcome::kStopped;
  } else if (deviceGone_ || open == kDeviceGone ||
             (mode == 0 && sequence_->scanResult() == kStopped)) {
    outcome_ = ScanOutcome::kDeviceGone;
  } else if (open != kOk && open != kStopped) {
    outcome_ = ScanOutcome::kOpenFailed;
  } else if (sequence_->scanResult() == kStopped) {
    outcome_ = ScanOutcome::kStopped;
  } else {
    outcome_ = ScanOutcome::kFinished;
  }
  const char* icon = "scan_done.svg";
  switch (outcome_) {
    case ScanOutcome::kStopped:
      icon = "scan_stopped.svg";
      break;
    case ScanOutcome::kOpenFailed:
      icon = "scan_failed.svg";
      break;
    case ScanOutcome::kDeviceGone:
      icon = "scan_unplugged.svg";
      break;
    default:
      break;
  }
  ui::SetElidedText(remark_, OutcomeText());
  remarkIcon_->setPixmap(
      QIcon(ui::ImagePath(QLatin1String(icon))).pixmap(QSize(48, 48), page_->devicePixelRatioF()));
  remarkIcon_->setProperty("outcome", QLatin1String(icon));
  gifLoading_->StopGif();
  gifLoading_->hide();
  // Before any category was picked the hint panel carries the outcome, not an empty list.
  if (list_->model().level() == ItemListModel::Level::kNone) {
    dataLayout_->hide();
    infoLayout_->show();
  }
  // The centre heading breaks into lines rather than losing both ends.
  desc1_->setWordWrap(true);
  desc1_->setText(OutcomeText());
  desc2_->setText(anyReady_ ? Text("MSG0523", "Pick a category on the left to see its items.")
                            : Text("MSG0524", "No items were found."));
  desc3_->hide();
  std::set<ScanCategory> notScanned;
  if (outcome_ != ScanOutcome::kFinished) {
    for (ScanCategory category : AllCategories()) {
      if (scanned_.count(category) == 0) notScanned.insert(category);
    }
  }
  tree_->SetNotScanned(notScanned);
}

// ----- Picking, checking, the statistics ---------------------------------------------------

void CScanVrtWnd::ShowTimelineList(bool on) {
  QTreeView* view = timeline_->view();
  auto* dataList = page_->findChild<QTreeView*>(QStringLiteral("DataList"));
  auto* header = page_->findChild<QWidget*>(QStringLiteral("DataListHeader"));
  if (dataList != nullptr) dataList->setVisible(!on);
  if (header != nullptr) header->setVisible(!on);
  view->setVisible(on);
}

void CScanVrtWnd::PickTimeline() {
  infoLayout_->hide();
  if (searchAll_) searchAll_->panel()->hide();
  dataLayout_->show();
  gifLoading_->StopGif();
  filterBar_->hide();
  backAppDir_->hide();
  ShowTimelineList(true);
  pane_->ResetPane();
  pane_->SetPaneView(true, true);
  ApplyPreviewWidth();
  timeline_->Reopen();  // the entry chosen before, previewed again
  print_->setEnabled(false);
  AfterSelectionChange();
}

void CScanVrtWnd::PickCategory(ScanCategory category, int view) {
  ShowTimelineList(false);
  infoLayout_->hide();
  if (searchAll_) searchAll_->panel()->hide();
  dataLayout_->show();
  gifLoading_->StopGif();
  filterBar_->setVisible(HasDeletionMarks(category));
  backAppDir_->hide();
  {
    const QSignalBlocker quiet(filter_);
    filter_->setChecked(list_->FilterOn());
  }
  const std::vector<size_t>* viewRows = nullptr;
  if (const auto found = views_.find(category);
      view >= 0 && found != views_.end() && size_t(view) < found->second.size()) {
    viewRows = &found->second[size_t(view)].rows;
  }
  list_->Fill(category, viewRows);
  // The preview follows the category: the last item's preview goes, and the pane is shown
  // (in the view the category uses) or hidden as the category needs.
  pane_->ResetPane();
  if (HasPreview(category)) {
    const bool conversation =
        category == ScanCategory::kMessages || category == ScanCategory::kWhatsApp;
    pane_->SetPaneView(true, !conversation);
    ApplyPreviewWidth();
  }
  print_->setEnabled(IsPrintable(category));
  AfterSelectionChange();
}

void CScanVrtWnd::PreviewRow(int row) {
  ItemListModel& m = list_->model();
  if (row < 0 || m.level() == ItemListModel::Level::kNone) return;
  pane_->PreviewItem(m.category(), m.ItemKey(m.ItemOfRow(row)),
                     m.level() == ItemListModel::Level::kAppFiles, Results());
}

void CScanVrtWnd::RefreshOpenedNotes() {
  // The list holds its own copies of the notes: a copy of a note just opened takes its text
  // (its address, which the selection and the preview hold, stays).
  bool changed = false;
  for (NoteItem& row : rows_.notes) {
    if (row.locked == 0 || row.opened != 0) continue;
    for (const NoteItem& note : Results().notes) {
      if (note.opened != 0 && note.bodyId == row.bodyId && note.deleted == row.deleted &&
          note.date == row.date && note.folder == row.folder) {
        row = note;
        changed = true;
        break;
      }
    }
  }
  if (changed && list_->model().level() != ItemListModel::Level::kNone &&
      list_->model().category() == ScanCategory::kNotes) {
    list_->model().RefreshRows();
  }
}

const void* CScanVrtWnd::HitItem(const SearchHit& hit) const {
  const ScanResults& r = Results();
  if (const CategoryTable* table = r.Table(hit.category)) {
    return hit.index < table->rows.size() ? &table->rows[hit.index] : nullptr;
  }
  switch (hit.category) {
    case ScanCategory::kMessages: {
      const auto found = r.messages.find(hit.conversation);
      if (found == r.messages.end() || hit.index >= found->second.messages.size()) return nullptr;
      return &found->second.messages[hit.index];
    }
    case ScanCategory::kWhatsApp: {
      const auto found = r.whatsApp.find(std::strtoll(hit.conversation.c_str(), nullptr, 10));
      if (found == r.whatsApp.end() || hit.index >= found->second.messages.size()) return nullptr;
      return &found->second.messages[hit.index];
    }
    case ScanCategory::kContacts:
      return hit.index < r.contacts.size() ? &r.contacts[hit.index] : nullptr;
    case ScanCategory::kCallHistory:
      return hit.index < r.calls.size() ? &r.calls[hit.index] : nullptr;
    case ScanCategory::kNotes:
      return hit.index < r.notes.size() ? &r.notes[hit.index] : nullptr;
    default:
      return nullptr;
  }
}

namespace {
// The index in `rows` (the list's copies, in the list's order) of the row that is `item`.
template <typename Item, typename Same>
size_t RowIndexOf(const std::vector<Item>& rows, const Item* item, const Same& same) {
  if (item == nullptr) return SIZE_MAX;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (same(rows[i], *item)) return i;
  }
  return SIZE_MAX;
}
}  // namespace

void CScanVrtWnd::OpenHit(const SearchHit& hit) {
  QTreeWidgetItem* node = tree_->Row(hit.category);
  if (node == nullptr || !tree_->IsEnabled(hit.category)) return;
  const void* item = HitItem(hit);
  if (item == nullptr) return;
  // The list's item of the hit: the lists of conversations, contacts, calls and notes hold
  // their own copies of the rows, in the list's order.
  size_t listItem = SIZE_MAX;
  switch (hit.category) {
    case ScanCategory::kMessages:
      listItem = RowIndexOf(rows_.conversations, static_cast<const MessageItem*>(item),
                            [](const MessageItem& a, const MessageItem& b) {
                              return a.conversation == b.conversation;
                            });
      break;
    case ScanCategory::kWhatsApp:
      listItem = RowIndexOf(rows_.chats, static_cast<const ChatMessageItem*>(item),
                            [](const ChatMessageItem& a, const ChatMessageItem& b) {
                              return a.sessionId == b.sessionId;
                            });
      break;
    case ScanCategory::kContacts:
      listItem = RowIndexOf(rows_.contacts, static_cast<const ContactItem*>(item),
                            [](const ContactItem& a, const ContactItem& b) {
                              return a.rowId == b.rowId && a.deleted == b.deleted &&
                                     a.name == b.name && a.phones == b.phones;
                            });
      break;
    case ScanCategory::kCallHistory:
      listItem = RowIndexOf(rows_.calls, static_cast<const CallItem*>(item),
                            [](const CallItem& a, const CallItem& b) {
                              return a.date == b.date && a.phone == b.phone &&
                                     a.deleted == b.deleted && a.duration == b.duration &&
                                     a.incoming == b.incoming;
                            });
      break;
    case ScanCategory::kNotes:
      listItem = RowIndexOf(rows_.notes, static_cast<const NoteItem*>(item),
                            [](const NoteItem& a, const NoteItem& b) {
                              return a.bodyId == b.bodyId && a.deleted == b.deleted &&
                                     a.date == b.date && a.title == b.title;
                            });
      break;
    default:
      listItem = hit.index;  // a table's list item is its row
      break;
  }
  // The whole category (not one of its views), and the deleted filter off when the item is
  // not deleted (the filter would hide it).
  if (tree_->Selected() == int32_t(hit.category) && tree_->SelectedView() < 0) {
    PickCategory(hit.category);
  } else {
    node->treeWidget()->setCurrentItem(node);
  }
  if (list_->FilterOn() && listItem < list_->model().ItemCount() &&
      !list_->model().ItemDeleted(listItem)) {
    const QSignalBlocker quiet(filter_);
    filter_->setChecked(false);
    list_->ApplyFilter(false);
    AfterSelectionChange();
  }
  list_->SelectItem(listItem);
}

void CScanVrtWnd::ShowSearch(bool on) {
  if (on) {
    infoLayout_->hide();
    dataLayout_->hide();
    // The pane waits, hidden, for a hit to be chosen: the hits take its room meanwhile.
    pane_->ResetPane();
    searchAll_->panel()->show();
    return;
  }
  searchAll_->panel()->hide();
  if (tree_->Selected() != 0) {
    tree_->Reselect();
  } else if (outcome_ != ScanOutcome::kNone) {
    infoLayout_->show();
  } else {
    dataLayout_->show();
  }
}

void CScanVrtWnd::Print() {
  PrintSource source;
  source.category = list_->model().category();
  source.deletedOnly = list_->FilterOn();
  source.conversations = &rows_.conversations;
  source.chats = &rows_.chats;
  source.contacts = &rows_.contacts;
  source.calls = &rows_.calls;
  source.notes = &rows_.notes;
  source.messages = &Results().messages;
  source.chatMap = &Results().whatsApp;
  source.tables = &Results().tables;
  source.checked = [this](const void* item) {
    const SelectionEntry* entry = selection_.Find(item);
    return entry != nullptr && entry->checked;
  };
  CPrintWnd window(&main_, source, main_.Session().workFolder,
                   PageTemplateFolder(platform::DataFolder(), AppliedLanguage()));
  window.DoModal();
}

void CScanVrtWnd::OnCategoryCheck(ScanCategory category, bool on) {
  selection_.SelectCategory(category, on);
  selection_.Recount();
  if (list_->model().level() != ItemListModel::Level::kNone &&
      list_->model().category() == category) {
    list_->RefreshChecks();
  }
  AfterSelectionChange();
}

void CScanVrtWnd::AfterSelectionChange() {
  for (ScanCategory category : AllCategories()) {
    if (tree_->IsEnabled(category)) {
      tree_->SetCheckState(category, selection_.CategoryState(category));
    }
  }
  UpdateStatistics();
  UpdateRecoverButton();
}

QString CScanVrtWnd::StatisticsText() const { return statistics_->text(); }

void CScanVrtWnd::UpdateStatistics() {
  const StatNode& root = selection_.Root();
  const int64_t selected =
      std::max<int64_t>(int64_t(root.selected) - int64_t(root.selectedHidden), 0);
  auto size = [this](uint64_t bytes) {
    return everScanned_ ? Q(FormatSize(int64_t(bytes))) : QStringLiteral("0 MB");
  };
  QString format = ui::MessageText("MSG0514");
  if (format.isEmpty()) format = QStringLiteral("You select %s in %d item(s) of %s in %d item(s)");
  statistics_->setText(
      FillMessage(format, {size(selection_.SelectedSize()), QString::number(selected),
                           size(selection_.TotalSize()), QString::number(root.items)}));
}

void CScanVrtWnd::UpdateRecoverButton() {
  const StatNode& root = selection_.Root();
  recovery_->setEnabled((sequence_->finished() || paused) && root.selected > root.selectedHidden);
}

// ----- States ------------------------------------------------------------------------------

void CScanVrtWnd::PlayAnimations() {
  gifScanning_->PlayGif();
  if (infoLayout_->isVisible()) gifLoading_->PlayGif();
}

void CScanVrtWnd::StopAnimations() {
  gifScanning_->StopGif();
  gifLoading_->StopGif();
}

// Empties the containers' views, the selection and the bars (scan start and Home).
void CScanVrtWnd::ResetPage() {
  ++generation_;
  liveGeneration_ = generation_;
  if (searchAll_) {
    searchAll_->Reset();
    searchAll_->SetEnabled(false);
  }
  if (pane_) pane_->ResetPane();
  list_->Clear();
  if (timeline_) {
    timeline_->Fill(nullptr);
    ShowTimelineList(false);
  }
  selection_.Clear();
  rows_.Clear();
  counts_.clear();
  views_.clear();
  anyReady_ = false;
  tree_->ResetForScan();
  progress_->setValue(0);
  percent_->setText(QStringLiteral("0%"));
  backAppDir_->hide();
  UpdateStatistics();
}

int CScanVrtWnd::StartScan(int scanMode) {
  if (scanMode != 0 && scanMode != 1) return 1;
  if (!sequence_->finished()) return 1;
  mode = scanMode;
  outcome_ = ScanOutcome::kNone;
  stopAsked_ = deviceGone_ = false;
  scanned_.clear();
  ApplyPageTexts();
  ResetPage();
  gifLoading_->show();
  desc3_->show();
  everScanned_ = true;
  infoLayout_->hide();
  dataLayout_->show();
  scanBar_->show();
  recoveryBar_->hide();
  listBar_->hide();
  home_->setEnabled(false);
  recovery_->setEnabled(false);
  const int32_t started = sequence_->StartScan(mode, backupInfo, password.toStdString());
  if (started != 0) return started;
  gifScanning_->PlayGif();
  gifLoading_->PlayGif();
  UpdateStatistics();
  return 0;
}

void CScanVrtWnd::TogglePause() {
  if (sequence_->finished()) return;
  paused = !paused;
  if (paused) {
    sequence_->Pause();
    pause_->setText(ui::MessageText("MSG0506"));
    StopAnimations();
  } else {
    sequence_->Resume();
    pause_->setText(ui::MessageText("MSG0507"));
    PlayAnimations();
  }
  UpdateRecoverButton();
}

void CScanVrtWnd::AskStop() {
  if (sequence_->finished()) return;
  const bool wasPaused = paused;
  if (!wasPaused) {
    sequence_->Pause();  // the worker halts at its next report while the question is open
    StopAnimations();
  }
  const int answer = ui::ShowMessageBox(ui::kBoxQuestion, &main_, std::nullopt,
                                        ui::MessageText("MSG0508"), 550, 200);
  if (answer == ui::kResultOk) {
    if (wasPaused) {
      paused = false;
      pause_->setText(ui::MessageText("MSG0507"));
    }
    stopAsked_ = true;
    sequence_->Stop(KeepPainting);  // releases the hold once, cancels and waits for the worker
  } else if (!wasPaused) {
    sequence_->Resume();
    PlayAnimations();
  }
}

bool CScanVrtWnd::QueryClose() {
  if (sequence_->finished() && !anyReady_) return true;
  if (sequence_->finished()) {
    // Nothing runs: the question is only whether the results may go.
    return ui::ShowMessageBox(ui::kBoxQuestion, &main_, std::nullopt,
                              Text("MSG0516", "Close Halvern? The results of this scan are not "
                                              "kept."),
                              550, 200) == ui::kResultOk;
  }
  const bool wasPaused = paused;
  if (!wasPaused) {
    sequence_->Pause();
    StopAnimations();
  }
  const int answer = ui::ShowMessageBox(ui::kBoxQuestion, &main_, std::nullopt,
                                        ui::MessageText("MSG0511"), 550, 200);
  if (answer == ui::kResultOk) {
    paused = false;
    pause_->setText(ui::MessageText("MSG0507"));
    stopAsked_ = true;
    sequence_->Stop(KeepPainting);
    return true;
  }
  if (!wasPaused) {
    sequence_->Resume();
    if (!sequence_->finished()) PlayAnimations();
  }
  return false;
}

void CScanVrtWnd::OnDeviceGone() {
  deviceGone_ = true;
  if (sequence_->finished()) {
    // The scan ended before the notice arrived: its page tells the outcome all the same.
    if (outcome_ != ScanOutcome::kNone) ShowOutcome();
    return;
  }
  if (!paused) sequence_->Pause();
  paused = false;
  pause_->setText(ui::MessageText("MSG0507"));
  StopAnimations();
  sequence_->Stop(KeepPainting);
  ui::ShowMessageBox(ui::kBoxWarning, &main_, std::nullopt, ui::MessageText("MSG0512"), 550, 200);
}

void CScanVrtWnd::GoHome() {
  if (anyReady_) {
    if (ui::ShowMessageBox(ui::kBoxQuestion, &main_, std::nullopt, ui::MessageText("MSG0510"), 550,
                           200) != ui::kResultOk) {
      return;
    }
  }
  ResetPage();
  infoLayout_->show();
  dataLayout_->hide();
  listBar_->hide();
  main_.MainTabPage()->setCurrentIndex(0);
}

void CScanVrtWnd::Recover() {
  std::optional<std::filesystem::path> folder;
  if (chooseFolder) {
    folder = chooseFolder(&main_);
  } else {
    const QString picked = QFileDialog::getExistingDirectory(&main_, ui::MessageText("MSG0509"),
                                                             QString(), QFileDialog::ShowDirsOnly);
    if (!picked.isEmpty()) folder = std::filesystem::path(picked.toStdString());
  }
  if (!folder) return;  // cancelled: no message
  // The backup being read is never written, and a folder that takes no file is refused
  // before anything starts.
  const std::filesystem::path backupFolder =
      mode == 1 ? backupInfo.folderPath : main_.Session().info.folderPath;
  const DestinationCheck check = CheckRecoverDestination(*folder, backupFolder);
  if (!check.ok()) {
    const QString where = QString::fromStdString(check.destination.string());
    const QString text =
        check.problem == DestinationProblem::kInsideBackup
            ? FillMessage(Text("MSG1110", "The folder %s lies inside the backup being read. "
                                          "Choose another folder for the recovered data."),
                          {where})
            : FillMessage(Text("MSG1111", "The folder %s cannot be written (%s). Choose another "
                                          "folder."),
                          {where, QString::fromLocal8Bit(std::strerror(check.error))});
    ui::ShowMessageBox(ui::kBoxError, &main_, std::nullopt, text, 550, 220);
    return;
  }
  RecoverJob job;
  job.engine = sequence_->activeEngine();
  job.messages = &sequence_->results().messages;
  job.chats = &sequence_->results().whatsApp;
  job.tables = &sequence_->results().tables;
  job.scan = &sequence_->results();
  job.selection = &selection_;
  job.destination = check.destination;
  job.templateFolder = PageTemplateFolder(platform::DataFolder(), AppliedLanguage());
  // Copies for browsers (JPEG of HEIC pictures, thumbnails, playable sounds) unless the user
  // unticked them.
  job.mediaCopies = MediaCopyOptions{heicJpeg_ == nullptr || heicJpeg_->isChecked(), false};
  job.deletedOnly = list_->FilterOn();
  if (mode == 1) {
    job.deviceName = backupInfo.displayName;
  } else {
    main_.Device().GetDeviceName(job.deviceName);
  }
  const StatNode& root = selection_.Root();
  CRecoverProcessWnd window(
      &main_, std::move(job),
      root.selected > root.selectedHidden ? root.selected - root.selectedHidden : 0);
  window.Run();
}

void CScanVrtWnd::Notify(const ui::Notification& n) {
  using namespace ui::notify;
  if (n.type == QLatin1String(kClick)) {
    if (n.sender == QLatin1String("BtnScanPause")) {
      TogglePause();
    } else if (n.sender == QLatin1String("BtnScanStop")) {
      AskStop();
    } else if (n.sender == QLatin1String("BtnHome")) {
      GoHome();
    } else if (n.sender == QLatin1String("BtnRecovery")) {
      Recover();
    } else if (n.sender == QLatin1String("BtnPrint")) {
      Print();
    } else if (n.sender == QLatin1String("BtnBackAppDir")) {
      backAppDir_->hide();
      tree_->Reselect();
    }
  } else if (n.type == QLatin1String(kSelectChanged)) {
    if (n.sender == QLatin1String("OptOnOffPreview")) {
      previewLayout_->setVisible(preview_->isChecked());
    } else if (n.sender == QLatin1String("OptOnOffFilter")) {
      list_->ApplyFilter(filter_->isChecked());
      AfterSelectionChange();
    }
  }
}

}  // namespace halvern::app
