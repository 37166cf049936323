#include "shell/xev_uistring.h"

#include <algorithm>
#include <iterator>
#include <type_traits>

#include "shell/xev_utility.h"

namespace {

struct StringEntry {
    uint32_t id;
    const char16_t* text;
};

// Sorted by id.
constexpr StringEntry kStringTable[] = {
    {10001, u"ヘルプファイルが見つかりません。"},
    {10002, u"DICOMDIRファイルの読み込みに失敗しました。\nアプリケーションを終了します。"},
    {10003, u"DICOMDIRファイルの読み込みに失敗しました。\n詳細：ファイルが見つかりません。"},
    {10004, u"DICOMDIRファイルの読み込みに失敗しました。\n詳細：タグ情報が読み取れません。"},
    {10005, u"画像ファイルの読み込みに失敗しました。\n詳細：ファイルが見つかりません。"},
    {10006, u"画像ファイルの読み込みに失敗しました。\n詳細：メモリ不足です。"},
    {10007, u"画像ファイルの読み込みに失敗しました。\n詳細：タグ情報が読み取れません。"},
    {10008, u"画像ファイルの読み込みに失敗しました。\n詳細：画像が読み取れません。"},
    {10011, u"画像処理に失敗しました。\n詳細：パレット適用に失敗しました。"},
    {10012, u"画像処理に失敗しました。\n詳細：リスケール処理（符号化あり）に失敗しました。"},
    {10013, u"画像処理に失敗しました。\n詳細：リスケール処理に失敗しました。"},
    {10014, u"画像処理に失敗しました。\n詳細：メモリ出力処理に失敗しました。"},
    {10015, u"画像処理に失敗しました。\n詳細：メモリ不足です。"},
    {10016, u"画像処理に失敗しました。\n詳細：メモリへの画像データ書き出しに失敗しました。"},
    {10017, u"画像処理に失敗しました。\n詳細：起動時メモリ不足です。"},
    {10018, u"画像処理に失敗しました。\n詳細：画像処理起動に失敗しました。"},
    {10022, u"画像処理に失敗しました。\n詳細：LUTの処理に失敗しました。"},
    {10023, u"シリーズの構成表示を切り替える事ができます。切り替えますか？"},
    {10024, u"SRファイルの読み込みに失敗しました。\n詳細：ファイルが見つかりません。"},
    {10025, u"未サポート"},
    {10026, u"シリーズの構成表示を切り替える事ができます。切り替えますか？"},
    {10027, u"ファイルの読み込みに失敗しました。"},
    {10028, u"ほかに %1 件の読み込みに失敗しました。"},
    {10040, u"DICOMDIRファイルが大きすぎるため、一部のみ表示しています。\n詳細：%1"},
    {10041, u"患者数が多すぎるため、一部のみ表示しています。\n詳細：%1 人目より後の患者は一覧に表示されません。"},
    {10042, u"先頭の %1 件を超えるレコードは表示されません。"},
    {10043, u"読み込みに使えるメモリ（%1 MB）に収まらないレコードは表示されません。"},
    {10044, u"DICOMDIRファイルの読み込みに失敗しました。\n詳細：メモリ不足です。"},
    {10045, u"レポートが大きすぎるため、一部のみ表示しています。\n詳細：ここより後の内容は表示されません。"},
    {10046, u"ディスクの外を指すリンクから読み込む画像は表示されません。"},
    {10047, u"画像ファイルの読み込みに失敗しました。\n詳細：アーカイブ内のリンクは読み込みません。"},
    {10048, u"指す先のないリンクから読み込む画像は表示されません。"},
    {10049, u"循環するリンクから読み込む画像は表示されません。"},
    {20101, u"同意する"},
    {20102, u"同意しない"},
    {20103, u"スタック表示"},
    {20104, u"サムネイル表示"},
    {20105, u"フルスクリーン表示"},
    {20106, u"設定値："},
    {20107, u"実値："},
    {20108, u"階調"},
    {20109, u"拡大／縮小"},
    {20110, u"移動"},
    {20111, u"計測"},
    {20112, u"テキスト"},
    {20113, u"矢印"},
    {20114, u"画素値"},
    {20115, u"再生"},
    {20116, u"一時停止"},
    {20117, u"ヘルプ"},
    {20118, u"終了"},
    {20119, u"レポート表示"},
    {20200, u"階調"},
    {20201, u"拡大／縮小"},
    {20202, u"移動"},
    {20203, u"計測"},
    {20204, u"テキスト"},
    {20205, u"矢印"},
    {20206, u"画素値"},
    {20207, u"操作ロック"},
    {20208, u"再生"},
    {20209, u"一時停止"},
    {20210, u"シリーズ自動連携"},
    {20211, u"初期表示に戻す"},
    {20212, u"削除"},
    {20213, u"削除"},
    {20214, u"削除"},
    {20215, u"レポート表示"},
    {20216, u"白黒反転"},
    {20301, u"%s年%s月%s日"},
    {20302, u"%d歳"},
    {20303, u"%s時%s分%s秒"},
    {20311, u"%s年%s月%s日生"},
    {20312, u"%s年%s月%s日 %s検査"},
    {20313, u"（分類未定義）"},
    {20314, u"レポート"},
    {20320, u"次回以降表示しない"},
    {20400, u"患者名"},
    {20401, u"患者ID"},
    {20402, u"生年月日"},
    {20403, u"受付番号"},
    {20404, u"手続き"},
    {20405, u"検査日"},
    {20406, u"レポート"},
};

static_assert(std::is_sorted(std::begin(kStringTable), std::end(kStringTable),
                             [](const StringEntry& a, const StringEntry& b) { return a.id < b.id; }));

QString IniKey(char letter, uint32_t id)
{
    return QString(QChar::fromLatin1(letter)) + QStringLiteral("%1").arg(id, 5, 10, QChar(u'0'));
}

}   // namespace

QString GetBuiltInString(uint32_t id)
{
    const auto found = std::lower_bound(std::begin(kStringTable), std::end(kStringTable), id,
                                        [](const StringEntry& entry, uint32_t wanted) { return entry.id < wanted; });
    if (found != std::end(kStringTable) && found->id == id) {
        return QString::fromUtf16(found->text);
    }
    return QStringLiteral("ID%1").arg(id);
}

QString ReadUIStringOverride(uint32_t id, const QString& current)
{
    return ReadIniString(IniKey('S', id), current, QStringLiteral("Strings"));
}

QString ReadMessageOverride(uint32_t id, const QString& current)
{
    return ReadIniString(IniKey('M', id), current, QStringLiteral("Message"));
}

QString GetUIString(uint32_t id)
{
    return ReadUIStringOverride(id, GetBuiltInString(id));
}

QString GetMessageString(uint32_t id)
{
    return ReadMessageOverride(id, GetBuiltInString(id));
}

QString FormatUIString(const QString& format, std::initializer_list<XEVFormatValue> values)
{
    QString out;
    out.reserve(format.size() + 16);
    auto next = values.begin();
    const qsizetype n = format.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = format.at(i);
        if (c != u'%' || i + 1 == n) {
            out.append(c);
            continue;
        }
        const QChar kind = format.at(i + 1);
        if (kind == u'%') {
            out.append(u'%');
            ++i;
            continue;
        }
        if (kind != u's' && kind != u'd') {
            out.append(c);   // the rest of the conversion follows as plain text
            continue;
        }
        ++i;
        if (next == values.end()) {
            out.append(c).append(kind);
            continue;
        }
        const XEVFormatValue& value = *next++;
        if (kind == u's' && value.IsText()) {
            out.append(value.Text());
        } else if (kind == u'd' && !value.IsText()) {
            out.append(QString::number(value.Number()));
        } else {
            out.append(c).append(kind);
        }
    }
    return out;
}

namespace {

// The first `count` digits of a value, read from its start past the separators `separates`
// lets stand after so many digits; empty when a digit is missing first.
template <typename Separates>
QString LeadingDigits(const QString& value, qsizetype count, Separates separates)
{
    QString digits;
    for (const QChar c : value.trimmed()) {
        if (c >= u'0' && c <= u'9') {
            digits.append(c);
            if (digits.size() == count) {
                return digits;
            }
        } else if (!separates(c, digits.size())) {
            break;
        }
    }
    return QString();
}

}   // namespace

QString XEVDateDigits(const QString& value)
{
    return LeadingDigits(value, 8, [](QChar c, qsizetype) { return c == u'.'; });
}

QString XEVTimeDigits(const QString& value)
{
    // A colon stands only between hours, minutes and seconds.
    return LeadingDigits(value, 6, [](QChar c, qsizetype read) { return c == u':' && (read == 2 || read == 4); });
}

QString XEVDateText(const QString& value, uint32_t textId)
{
    const QString digits = XEVDateDigits(value);
    if (digits.isEmpty()) {
        return QString();
    }
    // The format may come from ZYLV.INI: the safe formatter reads no missing value.
    return FormatUIString(GetUIString(textId), {digits.mid(0, 4), digits.mid(4, 2), digits.mid(6, 2)});
}

QString MessageWithPath(const QString& message, const QString& path)
{
    return message + QStringLiteral("\n[") + path + QStringLiteral("]");
}
