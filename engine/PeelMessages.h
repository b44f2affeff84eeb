#pragma once
// The engine's messages to the user, reported through OnError.
namespace lumaro {

inline constexpr const char* kMsgNoSOI = "致命的エラー : JPEGファイルの開始のヘッダ($FFD8)を認識できません";
inline constexpr const char* kMsgProgressive = "致命的エラー : プログレッシブJPEGファイルです。現在はまだ処理できません。";
inline constexpr const char* kMsgHuffman = "ハフマンブロックが正しく読み出せませんでした。\r処理を終了します";
inline constexpr const char* kMsgTruncated = "致命的エラー : JPEGファイルが途中で終わっています。";
inline constexpr const char* kMsgScanTruncated = "致命的エラー : 画像データが途中で終わっています。";
inline constexpr const char* kMsgNoMemory = "致命的エラー : メモリが足りません。画像が大きすぎて処理できません。";
inline constexpr const char* kMsgTooLarge = "致命的エラー : 画像が大きすぎて処理できません。";
inline constexpr const char* kMsgMultiScan = "致命的エラー : 複数のスキャンからなるJPEGファイルです。現在はまだ処理できません。";
inline constexpr const char* kMsgPrecision = "致命的エラー : サンプル精度が8ビットではないJPEGファイルです。処理できません。";
inline constexpr const char* kMsgComponents = "致命的エラー : 色成分の数が正しくありません。";
inline constexpr const char* kMsgZeroSize = "致命的エラー : 画像の幅または高さが0です。";
inline constexpr const char* kMsgSampling = "致命的エラー : サンプリング係数が正しくありません。";
inline constexpr const char* kMsgDuplicateId = "致命的エラー : 色成分の識別子が重複しています。";
inline constexpr const char* kMsgSecondFrame = "致命的エラー : フレームヘッダ($FFC0)が複数あります。";
inline constexpr const char* kMsgNoFrame = "致命的エラー : スキャンの前にフレームヘッダ($FFC0)がありません。";
inline constexpr const char* kMsgTableId = "致命的エラー : ハフマンテーブルの種類または番号が正しくありません。";
inline constexpr const char* kMsgBadTable = "致命的エラー : ハフマンテーブルの内容が正しくありません。";
inline constexpr const char* kMsgQuant = "致命的エラー : 量子化テーブルの内容が正しくありません。";
inline constexpr const char* kMsgNoTable = "致命的エラー : 定義されていないハフマンテーブルが使われています。";
inline constexpr const char* kMsgScanComponent = "致命的エラー : スキャンの色成分がフレームと一致しません。";
inline constexpr const char* kMsgRestart = "致命的エラー : リスタートマーカーが正しくありません。";
inline constexpr const char* kMsgVerify = "致命的エラー : 再符号化したデータの検証に失敗しました。";
inline constexpr const char* kMsgInternal = "致命的エラー : 内部エラーが発生しました。";

} // namespace lumaro
