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
inline constexpr TextView kUnknownProperty = u"Propriedade desconhecida: ";
inline constexpr TextView kBadNamespaces = u"Valor inválido de SelectionNamespaces: ";
inline constexpr TextView kBadExpression = u"Expressão de seleção inválida: ";
inline constexpr TextView kNoSignature = u"Nenhum elemento de assinatura atribuído";
inline constexpr TextView kSerialiseFailed = u"Falha ao serializar o documento XML";
inline constexpr TextView kSignFailed = u"Falha ao calcular a assinatura";

}  // namespace dsig_messages
