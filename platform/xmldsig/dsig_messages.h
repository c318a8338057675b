#pragma once

// Failure descriptions of the XML document and signature objects.

#include "platform/text.h"

namespace dsig_messages {

inline constexpr TextView kNotLoaded = u"Nenhum documento XML carregado";
inline constexpr TextView kTooLarge = u"Documento XML grande demais";
inline constexpr TextView kEntitiesRefused =
    u"Entidades declaradas ou referenciadas não são aceitas no documento";
inline constexpr TextView kAttributeDefaultsRefused =
    u"Valores padrão de atributos declarados no DTD não são aceitos no documento";
inline constexpr TextView kExternalSubsetRefused =
    u"DTD externo (SYSTEM ou PUBLIC) não é aceito no documento";
inline constexpr TextView kLoneSurrogate =
    u"O documento contém um caractere UTF-16 inválido (surrogate isolado)";
inline constexpr TextView kRepeatedByteOrderMark =
    u"Marca de ordem de bytes repetida no início do documento";
inline constexpr TextView kTooManyAttributes =
    u"Um elemento do documento tem atributos ou declarações de namespace demais";
inline constexpr TextView kUnknownProperty = u"Propriedade desconhecida: ";
inline constexpr TextView kBadNamespaces = u"Valor inválido de SelectionNamespaces: ";
inline constexpr TextView kBadExpression = u"Expressão de seleção inválida: ";
inline constexpr TextView kNoSignature = u"Nenhum elemento de assinatura atribuído";
inline constexpr TextView kSerialiseFailed = u"Falha ao serializar o documento XML";
inline constexpr TextView kSignFailed = u"Falha ao calcular a assinatura";
// Refusals of the signing profile (signing_profile.h). They start lower-case: they follow a
// colon wherever they are shown.
inline constexpr TextView kTooManyReferences = u"a assinatura tem referências demais (mais de 32)";
inline constexpr TextView kIncompleteSignature =
    u"assinatura incompleta (faltam SignedInfo, SignatureValue, CanonicalizationMethod, "
    u"SignatureMethod ou Reference, nessa ordem)";
inline constexpr TextView kIncompleteReference =
    u"referência incompleta (faltam DigestMethod ou DigestValue)";
inline constexpr TextView kReferenceRefused = u"referência não aceita: ";
inline constexpr TextView kTransformRefused = u"transformação não aceita: ";
inline constexpr const char* kTransformOutOfOrder = " (repetida ou depois da canonicalização)";
inline constexpr TextView kCanonicalizationRefused = u"canonicalização não aceita: ";
inline constexpr TextView kDigestRefused = u"método de resumo não aceito: ";
inline constexpr TextView kSignatureMethodRefused = u"método de assinatura não aceito: ";
inline constexpr TextView kElementRefused = u"elemento não aceito na assinatura: ";
inline constexpr TextView kTextRefused = u"texto não aceito dentro da assinatura, em ";
inline constexpr TextView kKeyInfoRefused = u"informação de chave não aceita: ";
inline constexpr TextView kReferenceWithoutElement =
    u"a referência não aponta para nenhum elemento: #";
inline constexpr TextView kRepeatedId =
    u"o identificador aparece em mais de um elemento do documento (ou em formas parecidas): ";
inline constexpr TextView kMisplacedElement =
    u"o elemento assinado não está onde o documento o mostra (ao lado da assinatura ou "
    u"envolvendo-a), está em ";
inline constexpr TextView kInsideSignature =
    u"a referência aponta para a própria assinatura ou para algo dentro dela:";
inline constexpr TextView kKeyNotRsa =
    u"só chaves RSA são usadas nas NFS-e, e a chave do certificado é de outro tipo";
inline constexpr TextView kCoversItself =
    u"a referência cobre a própria assinatura sem a transformação enveloped-signature";
inline constexpr TextView kAnchorsUnreadable = u"Não foi possível ler as ACs confiáveis em ";
inline constexpr TextView kAnchorsEmpty = u"Nenhum certificado de AC (PEM ou DER) em ";
inline constexpr TextView kTooManySignatures =
    u"O documento tem assinaturas demais para verificar (mais de 1000)";

}  // namespace dsig_messages
