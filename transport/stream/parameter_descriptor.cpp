#include "transport/stream/parameter_descriptor.h"

#include <variant>

#include "transport/stream/json_stream_format.h"

Text ReadStringMember(TDBXJSonStreamReader& AReader) {
  const int token = AReader.Next();
  if (token != jtStringStart) ThrowUnexpectedToken(jtStringStart, token);
  return AReader.ReadString();
}

void ReadParameterDescriptor(TDBXJSonStreamReader& AReader, TDBXParameter& AParameter) {
  AParameter.DataType = AReader.ReadInt();
  AReader.NextValueSeparator();
  AParameter.SubType = AReader.ReadInt();
  AReader.NextValueSeparator();
  AParameter.Direction = AReader.ReadInt();
  AReader.NextValueSeparator();
  AParameter.Precision = AReader.ReadLong();
  AReader.NextValueSeparator();
  AParameter.Scale = AReader.ReadInt();
  AReader.NextValueSeparator();
  AParameter.Name = ReadStringMember(AReader);
  AReader.NextValueSeparator();
  AParameter.ChildPosition = AReader.ReadInt();
  AReader.NextValueSeparator();
  AParameter.Size = AReader.ReadInt();
  const int token = AReader.Next();
  if (token == jtValueSeparator) {
    AParameter.Flags = AReader.ReadInt();
    if (AParameter.Flags & vtfLiteral) {
      AReader.NextValueSeparator();
      AParameter.Value = ReadStringMember(AReader);
    }
    AReader.SkipToEndOfArray();
  } else if (token != jtArrayEnd) {
    ThrowUnexpectedToken(jtArrayEnd, token);
  }
}

void WriteParameterDescriptor(TDBXJSonStreamWriter& AWriter, const TDBXParameter& AParameter) {
  AWriter.WriteArrayStart();
  AWriter.WriteInt(AParameter.DataType);
  AWriter.WriteValueSeparator();
  AWriter.WriteInt(AParameter.SubType);
  AWriter.WriteValueSeparator();
  AWriter.WriteInt(AParameter.Direction);
  AWriter.WriteValueSeparator();
  AWriter.WriteLong(AParameter.Precision);
  AWriter.WriteValueSeparator();
  AWriter.WriteInt(AParameter.Scale);
  AWriter.WriteValueSeparator();
  AWriter.WriteString(AParameter.Name);
  AWriter.WriteValueSeparator();
  AWriter.WriteInt(AParameter.ChildPosition);
  AWriter.WriteValueSeparator();
  AWriter.WriteInt(AParameter.Size);
  AWriter.WriteValueSeparator();
  AWriter.WriteInt(AParameter.Flags);
  if (AParameter.Flags & vtfLiteral) {
    AWriter.WriteValueSeparator();
    const Text* literal = std::get_if<Text>(&AParameter.Value);
    AWriter.WriteString(literal ? TextView(*literal) : TextView());
  }
  AWriter.WriteArrayEnd();
}
