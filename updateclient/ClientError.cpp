#include "ClientError.h"

#include <atomic>
#include <cstdio>

#include "OrvelKF/QxUpdateClient.h"

namespace QxuClient {

namespace {

struct ResultTexts {
  int code;
  const char* english;
  const char* japanese;
};

// Every code the client can return has a row here (tests walk the table).
const ResultTexts kTexts[] = {
    {QXU_OK, "The items were updated.", "アイテムを更新しました。"},
    {QXU_E_INVALID_ARGUMENT, "An argument is missing or out of range.",
     "引数が指定されていないか、範囲外です。"},
    {QXU_E_INTERNAL, "The update client failed internally (out of memory or an unexpected error).",
     "アップデートクライアントで内部エラーが発生しました (メモリ不足または予期しないエラー)。"},
    {QXU_E_NOT_SUPPORTED, "This function is not supported by this update client.",
     "この機能はこのアップデートクライアントではサポートされていません。"},
    {QXU_UP_TO_DATE, "All items are up to date.", "すべてのアイテムは最新です。"},
    {QXU_E_BAD_URL, "The source URL must begin with http://, https:// or file://.",
     "ソース URL は http://、https:// または file:// で始まる必要があります。"},
    {QXU_E_CONNECT,
     "The update server cannot be reached (name not resolved or connection refused).",
     "アップデートサーバに接続できません (名前を解決できないか、接続が拒否されました)。"},
    {QXU_E_PROXY, "The proxy server cannot be reached or failed the request.",
     "プロキシサーバに接続できないか、プロキシサーバが要求に失敗しました。"},
    {QXU_E_PROXY_AUTH, "The proxy server refused the user name or password.",
     "プロキシサーバがユーザ名またはパスワードを拒否しました。"},
    {QXU_E_TLS,
     "The secure connection failed: the server certificate was not accepted, the TLS handshake "
     "failed, or the server redirected to a connection without TLS.",
     "セキュア接続に失敗しました。サーバ証明書が受け入れられないか、TLS ハンドシェイクに失敗した"
     "か、TLS のない接続へリダイレクトされました。"},
    {QXU_E_CANCELLED, "The update was cancelled.", "アップデートはキャンセルされました。"},
    {QXU_E_CONNECT_TIMEOUT, "The connection to the update server timed out.",
     "アップデートサーバへの接続がタイムアウトしました。"},
    {QXU_E_TRANSFER,
     "The transfer failed: the connection broke or the server sent an invalid answer.",
     "転送に失敗しました。接続が切断されたか、サーバが不正な応答を返しました。"},
    {QXU_E_NO_TRUSTED_KEY, "No trusted key for the update feed is installed in the working folder.",
     "アップデートフィードの信頼済みキーが作業フォルダにインストールされていません。"},
    {QXU_E_BAD_SIGNATURE, "The signature of the update feed index is not valid.",
     "アップデートフィードのインデックスの署名が正しくありません。"},
    {QXU_E_UNKNOWN_KEY, "The update feed index is signed by a key that is not trusted.",
     "アップデートフィードのインデックスは信頼されていないキーで署名されています。"},
    {QXU_E_INDEX_EXPIRED, "The update feed index has expired.",
     "アップデートフィードのインデックスの有効期限が切れています。"},
    {QXU_E_INDEX_REPLAYED,
     "The update feed index is older than one already received (replayed index).",
     "アップデートフィードのインデックスは受信済みのものより古いです (再送されたインデックス)。"},
    {QXU_E_INDEX_TOO_LARGE, "The update feed index is larger than the allowed maximum.",
     "アップデートフィードのインデックスが上限サイズを超えています。"},
    {QXU_E_INDEX_FORMAT, "The update feed index is malformed.",
     "アップデートフィードのインデックスの形式が正しくありません。"},
    {QXU_E_FILE_SIZE, "A downloaded file is longer or shorter than the feed index declares.",
     "ダウンロードしたファイルのサイズがインデックスの記載と一致しません。"},
    {QXU_E_FILE_DIGEST,
     "A downloaded file does not match its SHA-256 digest in the feed index (tampered or "
     "corrupt).",
     "ダウンロードしたファイルの SHA-256 ダイジェストがインデックスと一致しません (改ざんまたは"
     "破損)。"},
    {QXU_E_DEST_FOLDER, "The destination folder does not exist or is not a folder.",
     "保存先フォルダが存在しないか、フォルダではありません。"},
    {QXU_E_WRITE, "A file cannot be written or renamed in the destination folder.",
     "保存先フォルダにファイルを書き込むか、名前を変更できません。"},
    {QXU_E_WORK_FOLDER,
     "The working folder of the update client is not set or its state files cannot be used.",
     "アップデートクライアントの作業フォルダが設定されていないか、状態ファイルを使用できません。"},
    {QXU_E_INVALID_CONTEXT, "The update context handle is not valid.",
     "アップデートコンテキストのハンドルが正しくありません。"},
    {QXU_E_TRANSFER_TIMEOUT,
     "The update server stopped sending data or sent it too slowly (transfer timed out).",
     "アップデートサーバからのデータ送信が停止したか、遅すぎます (転送タイムアウト)。"},
    {QXU_E_KEY_FORMAT, "The key is not an Ed25519 public key of 64 hexadecimal digits.",
     "キーは 64 桁の 16 進数の Ed25519 公開鍵ではありません。"},
    {QXU_E_HTTP_STATUS,
     "The update server answered with an error status, or does not have the requested item or "
     "file.",
     "アップデートサーバがエラー状態を返したか、要求されたアイテムまたはファイルがありません。"},
    {QXU_E_KEY_NOT_FOUND, "No trusted key with that id exists.",
     "その ID の信頼済みキーは存在しません。"},
    {QXU_E_BUFFER_TOO_SMALL, "The text did not fit into the buffer and was cut.",
     "テキストがバッファに収まらないため切り詰められました。"},
    {QXU_E_MERGE, "The incremental pattern could not be merged with the current pattern.",
     "差分パターンを現在のパターンに統合できませんでした。"},
    {QXU_E_WRONG_FEED, "The update feed index belongs to another feed than the expected one.",
     "アップデートフィードのインデックスは、想定とは別のフィードのものです。"},
};

std::atomic<int> g_messageCodePage{0};

}  // namespace

ClientError::ClientError(int result, unsigned particular, std::string text)
    : m_result(result), m_detail(QXU_DETAIL(result, particular)), m_text(std::move(text)) {}

void fail(int result, const std::string& text, unsigned particular) {
  throw ClientError(result, particular, text);
}

std::string resultText(int code, bool japanese) {
  for (const ResultTexts& row : kTexts)
    if (row.code == code) return japanese ? row.japanese : row.english;
  char text[128];
  std::snprintf(text, sizeof text,
                japanese ? "不明なアップデートクライアントの結果コード %d です。"
                         : "Unknown update client result code %d.",
                code);
  return text;
}

void setMessageCodePage(int codePage) { g_messageCodePage = codePage; }

bool japaneseMessages() { return g_messageCodePage == 932; }

}  // namespace QxuClient
