#include "shell/xevagreedlg.h"

// The built-in terms, one per screen resolution: the same text broken for the width of the
// 760-pixel text box at 96 and at 120 dots per inch.

QString CXEVAgreeDlg::BuiltInText(int32_t dpi)
{
    if (dpi == 120) {
        return QStringLiteral("　　　　　　　　　　　　　　　利用規約\r\n"
                              "\r\n"
                              "本ソフトウェアは、医療用画像を記録した媒体の内容を\r\n"
                              "閲覧するためのものです。表示される画像は参照用であり、\r\n"
                              "診断には、診断用として認められた装置をご使用ください。\r\n"
                              "\r\n"
                              "本ソフトウェアの使用により生じたいかなる損害についても、\r\n"
                              "提供者は責任を負いません。媒体に含まれる個人情報は、\r\n"
                              "関係法令に従い適切に取り扱ってください。\r\n"
                              "\r\n"
                              "上記に同意される場合は「同意する」を、同意されない\r\n"
                              "場合は「同意しない」を押してください。\r\n");
    }
    return QStringLiteral(
        "　　　　　　　　　　　　　　　　　　　　利用規約\r\n"
        "\r\n"
        "本ソフトウェアは、医療用画像を記録した媒体の内容を閲覧するためのものです。\r\n"
        "表示される画像は参照用であり、診断には、診断用として認められた装置をご使用ください。\r\n"
        "\r\n"
        "本ソフトウェアの使用により生じたいかなる損害についても、提供者は責任を負いません。\r\n"
        "媒体に含まれる個人情報は、関係法令に従い適切に取り扱ってください。\r\n"
        "\r\n"
        "上記に同意される場合は「同意する」を、同意されない場合は「同意しない」を押してください。\r\n");
}
