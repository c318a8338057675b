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
inline constexpr TextView kTooManyReferences = u"A assinatura tem referências demais";
inline constexpr TextView kTooManyTransforms =
    u"Uma referência da assinatura tem transformações demais";
inline constexpr TextView kReferenceRefused = u"URI de referência não aceita: ";
inline constexpr TextView kAmbiguousReference =
    u"A referência aponta para mais de um elemento com o mesmo identificador: ";
inline constexpr TextView kAnchorsUnreadable = u"Não foi possível ler as ACs confiáveis em ";
inline constexpr TextView kAnchorsEmpty = u"Nenhum certificado de AC (PEM ou DER) em ";
inline constexpr TextView kTooManySignatures =
    u"O documento tem assinaturas demais para verificar (mais de 1000)";

}  // namespace dsig_messages
