#pragma once

// Texts and markers of the NFS-e document signer, byte for byte as clients see them.

#include "platform/text.h"

namespace signer_messages {

inline constexpr TextView kSignFailed = u"[SignerNFSEDocument] Erro na Assinatura do Documento.";
inline constexpr TextView kLoadFailed =
    u"[TSignerNFSEDocument] Não foi possível carregar o arquivo: ";
inline constexpr TextView kTemplateMissing =
    u"[TSignerNFSEDocument] É preciso carregar o template antes de assinar.";
inline constexpr TextView kCspKeyFailed = u"[TSignerNFSEDocument] Erro ao criar a chave do CSP.";
inline constexpr TextView kSigningFailed = u"Assinatura Falhou.";
inline constexpr TextView kStatusOk = u"OK";
inline constexpr TextView kTooManyPlaceholders =
    u"O documento pede mais assinaturas do que o limite de marcadores <assinatura/>";
inline constexpr TextView kReferenceWithoutElement =
    u"Uma assinatura do documento aponta para um elemento que não existe: #";
inline constexpr TextView kSignaturesCoverEachOther =
    u"As assinaturas do documento cobrem umas às outras: não há ordem em que todas possam ser "
    u"feitas.";
inline constexpr TextView kTooManySignatures =
    u"O documento pede mais assinaturas do que o limite de 1000.";
inline constexpr TextView kSignatureOfReference = u" Referência #";
inline constexpr TextView kTemplateRefused = u"O modelo de assinatura do documento não é aceito: ";
inline constexpr TextView kIdNamedTwice =
    u"Duas assinaturas do documento apontam para o mesmo identificador: #";
inline constexpr TextView kWouldBreakSignature =
    u"Assinar o documento quebraria a assinatura que ele já traz ";
inline constexpr TextView kExistingSignatureRefused =
    u"O documento traz uma assinatura que não pode ser conferida: ";
inline constexpr TextView kSignatureDoesNotVerify =
    u"Uma assinatura do documento não confere depois de assinado: a ";
inline constexpr TextView kCertificateRefused = u"O certificado não pode assinar NFS-e: ";
inline constexpr TextView kOfWholeDocument = u"do documento inteiro";
inline constexpr TextView kOfId = u"de #";

inline constexpr TextView kSignatureMarker = u"<Signature";
inline constexpr TextView kPlaceholder = u"<assinatura/>";
inline constexpr TextView kSelectionProperty = u"SelectionNamespaces";
inline constexpr TextView kSelectionNamespaces = u"xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";
inline constexpr TextView kSelectSignature = u".//ds:Signature";
inline constexpr TextView kMemoryStore = u"Memoria";
inline constexpr TextView kSignatureValueTag = u"<SignatureValue>";
inline constexpr TextView kCertificateTag = u"<X509Certificate>";

// The signature template put in place of each placeholder: one line of 530 characters.
inline constexpr TextView kSignatureTemplate =
    u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo><CanonicalizationMethod "
    u"Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><SignatureMethod "
    u"Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\" /><Reference URI=\"\"><Transforms>"
    u"<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\" />"
    u"</Transforms><DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\" />"
    u"<DigestValue></DigestValue></Reference></SignedInfo><SignatureValue></SignatureValue>"
    u"<KeyInfo></KeyInfo></Signature>";

}  // namespace signer_messages
